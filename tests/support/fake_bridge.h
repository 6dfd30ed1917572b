// A scripted USB bridge for the link tests. Replies are scripts of bursts, silences and read
// errors; time is virtual, so a read that would wait out its timeout returns short at once and
// records the timeout that was in force.
#pragma once

#include "link/bridge.h"
#include "link/serial.h"

#include <deque>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

// The link the engine tests, the end-to-end link test and the fuzz targets drive.
extern Link controller;

namespace fake {

using Bytes = std::vector<uint8_t>;

// The bridge's calls, each named after what it sets or does.
enum class Op { Open, Baud, Line, Flow, Purge, Timeouts, Write, Read, Queue };

struct Arrival {
    enum Kind { Burst, Silence, Error } kind;
    Bytes bytes;     // Burst
    uint32_t ms = 0; // Silence
};
inline Arrival burst(Bytes bytes) {
    return {Arrival::Burst, std::move(bytes), 0};
}
inline Arrival silence(uint32_t ms) {
    return {Arrival::Silence, {}, ms};
}
inline Arrival read_error() {
    return {Arrival::Error, {}, 0};
}

// The frame followed by its CRC, low byte first.
Bytes with_crc(Bytes frame);

class Link {
  public:
    // Installs an opener for this link into FT_OpenEx.
    static std::shared_ptr<Link> install();

    // Scripts the answer to the next request (a request starts with the first write after a
    // purge). A request without a script meets silence.
    void reply(std::vector<Arrival> script) { scripts.push_back(std::move(script)); }
    void reply(Bytes bytes) { reply({burst(std::move(bytes))}); }

    // Makes the nth call of op (counted from 1; 0: every call) return status.
    void fail(Op op, int nth = 0, FT_STATUS status = FT_IO_ERROR) { failures[op] = {nth, status}; }

    // Descriptions that open a device.
    std::set<std::string> present{"UNIT-A/1"};
    // Each write takes at most the next cap's bytes.
    std::deque<uint32_t> write_caps;
    // What a reply's script still holds is on the way, not yet in the bridge: a purge leaves it,
    // and it comes before the next reply.
    bool in_flight = false;

    // What the engine did.
    std::vector<std::string> tried;
    std::vector<Bytes> requests;
    std::vector<uint32_t> purges;
    std::vector<std::pair<uint32_t, uint32_t>> timeouts_set;
    std::vector<uint32_t> timeouts_hit; // read timeout in force at each timed-out read
    uint32_t baud = 0;
    Bytes line;                 // data bits, stop bits, parity
    std::vector<uint16_t> flow; // mode, xon, xoff
    int open_ports = 0;         // made and not yet destroyed
    int write_calls = 0;

    // Used by the fake port.
    FT_STATUS check(Op op);
    FT_STATUS read(uint8_t* data, uint32_t count, uint32_t* got);
    FT_STATUS write(const uint8_t* data, uint32_t count, uint32_t* written);
    void purge(uint32_t mask);
    uint32_t read_timeout = 0;
    Bytes rx;

  private:
    std::deque<std::vector<Arrival>> scripts;
    std::deque<Arrival> pending;
    bool fresh = true;
    std::map<Op, std::pair<int, FT_STATUS>> failures;
    std::map<Op, int> calls;
};

// A fresh link installed for the scope; when it ends the engine's device is closed and the
// system opener restored.
class Scope {
  public:
    Scope() = default;
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;
    ~Scope() {
        controller.close();
        bridge::set_opener(nullptr);
    }
    Link* operator->() const { return link_.get(); }
    Link& operator*() const { return *link_; }

  private:
    std::shared_ptr<Link> link_ = Link::install();
};

} // namespace fake
