// The device side of the RTU line: cutting the incoming byte stream into requests, and the
// faults that can be injected into what goes back.
#pragma once

#include "device.h"

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace sim {

// Cuts requests out of the byte stream. A request is complete as soon as its length for the
// function is reached (read: 8 bytes, write: 9 + byte count, CRC included). Anything else —
// an unknown function, a torn frame, line noise — is handed over whole when the line falls
// silent, which is how an RTU device resynchronises.
class Framer {
  public:
    // Adds one byte; returns a complete request when this byte completes one.
    std::optional<std::vector<uint8_t>> push(uint8_t byte);
    // The line has been silent: returns what is pending (possibly empty) and starts afresh.
    std::vector<uint8_t> silence();
    bool pending() const { return !buffer_.empty(); }

  private:
    std::vector<uint8_t> buffer_;
};

// Longest RTU frame (MODBUS over Serial Line, 2.5.1); longer runs are noise.
constexpr size_t MAX_FRAME = 256;

enum class Fault {
    none,
    no_reply,       // the request is ignored
    bad_crc,        // the reply's CRC is damaged
    stray_byte,     // one extra byte right behind the frame, in the same burst
    exception,      // a device-failure exception reply instead of the normal one
    short_reply,    // one data byte too few, with a CRC that fits
    long_reply,     // one data byte too many, with a CRC that fits
    wrong_slave,    // the reply comes from the next slave address (2 for slave 1)
    wrong_function, // the reply carries another function code
    wrong_count,    // read: byte count off by 2; write: echoed count off by 1
    split,          // the reply comes in two bursts with a short gap (still a good reply)
    short_dump,     // the event image one byte short
    long_dump,      // the event image one byte long
    hangup,         // the device vanishes half way through the reply
};

std::optional<Fault> parse_fault(std::string_view name);
const char* fault_name(Fault fault);

// What goes back on the wire for one answer: bursts separated by a short gap, and whether the
// device hangs up after the first burst.
struct Transmission {
    std::vector<std::vector<uint8_t>> bursts;
    bool hangup = false;
};

// The transmission for an answer with a fault applied (Fault::none: the answer as it is).
// A fault that does not fit the answer (a dump fault on a register reply, a frame fault on
// the raw dump) leaves it unchanged; see applies().
Transmission transmit(const Answer& answer, Fault fault);
bool applies(Fault fault, const Answer& answer);

// The header in front of every MODBUS TCP request and reply (MODBUS Messaging on TCP/IP).
struct MbapHeader {
    uint16_t transaction = 0;
    uint8_t unit = 0;
};

// Cuts MODBUS TCP requests out of a connection's byte stream and turns each into the RTU frame
// the device understands, as a gateway puts it on its serial line: the unit id as the slave
// address, the PDU, a CRC.
class MbapFramer {
  public:
    struct Request {
        MbapHeader header;
        std::vector<uint8_t> frame;
    };
    // Adds one byte; returns a complete request when this byte completes one.
    std::optional<Request> push(uint8_t byte);
    // A header no MODBUS request has (another protocol id, a length out of range) came: a
    // stream has no silence to resynchronise on, so the connection must go.
    bool broken() const { return broken_; }
    const std::vector<uint8_t>& pending() const { return buffer_; }

  private:
    std::vector<uint8_t> buffer_;
    bool broken_ = false;
};

// What a gateway sends to its network side for the device's answer on its serial line: the
// reply's PDU behind a header that echoes the transaction, with the replying slave as unit id;
// or exception 0x0B (target device failed to respond) when the line brings nothing it can pass
// on: silence (another unit, no-reply), a damaged frame (bad-crc, stray-byte), or the event
// memory image, which is no MODBUS frame. split and hangup cut the reply that goes out.
Transmission gateway_transmit(const Answer& answer, Fault fault, const MbapHeader& request);

// Which requests a fault hits: those whose first address matches (any by default), for a
// given number of times (always by default).
class FaultPlan {
  public:
    FaultPlan() = default;
    FaultPlan(Fault kind, std::optional<uint16_t> address, int count, int skip = 0)
        : kind_(kind), address_(address), remaining_(count), skip_(skip) {}
    // The fault for this answer, counting it as used.
    Fault take(const Answer& answer);

  private:
    Fault kind_ = Fault::none;
    std::optional<uint16_t> address_;
    int remaining_ = -1; // negative: unlimited
    int skip_ = 0;       // matching requests let through before the first hit
};

} // namespace sim
