// link/: the way to the controller. The CRC, the subset of the D2XX interface with its POSIX
// bridge over the USB serial port, the transaction engine and the MODBUS requests built on it
// (functions 3 and 16, the event memory). It uses base/ and GLib only, so it runs alike under the
// window, the command line and the fuzzers; the window keeps itself live through the idle hook
// it installs here. Failures leave as the result codes below.
//
// This header: the engine and the requests.
#pragma once

#include "link/bridge.h"

#include <cstdint>
#include <cstdio>
#include <glib.h>
#include <string>
#include <vector>

// Link result codes of the requests.
constexpr int LINK_OK = 1;
constexpr int LINK_COMM_FAILURE = 0;
constexpr int LINK_EXCEPTION = -1;
constexpr int LINK_REPLY_FAULT = -2;

constexpr uint16_t IDENTIFICATION_ADDRESS = 0xFFF0;
constexpr uint16_t IDENTIFICATION_COUNT = 9;
constexpr uint16_t EVENTS_ADDRESS = 0xFFE0;
constexpr uint32_t EVENTS_LENGTH = 0xFC00;

// Product descriptions of the controllers' USB bridges, in the order they are tried.
constexpr const char* DEVICE_DESCRIPTIONS[] = {"UNIT-A/1", "UNIT-A/2", "UNIT-A/3", "UNIT-B/1",
                                               "UNIT-B/2", "UNIT-B/3", "UNIT-C/1", "UNIT-C/2",
                                               "UNIT-C/3", "UNIT-D/1", "UNIT-D/2", "UNIT-D/3"};

constexpr uint32_t LINK_BAUD_RATE = 115200;
constexpr uint32_t FIRST_BYTE_TIMEOUT_MS = 2000;
constexpr uint32_t NEXT_BYTE_TIMEOUT_MS = 1000;
// Silence that ends a raw reply once it has its whole length (the event dump). A reply running on
// at line rate shows its next byte well within it: a USB bridge holds a part-filled packet for
// its latency timer (16 ms by default), a serial device server its bytes for its packing time
// (ser2net up to 20 ms) and the network adds its jitter. Waiting for the controller does not
// shorten it: bytes that came meanwhile are found queued.
constexpr uint32_t QUIET_LINE_MS = 50;
constexpr uint32_t QUIET_NETWORK_MS = 200;
constexpr int32_t REPLY_LIMIT = 1024;
constexpr int32_t EVENTS_LIMIT = 0x40000;
constexpr uint16_t MAX_REGISTERS = 127;
// The longest request: a write of MAX_REGISTERS registers, without its CRC.
constexpr uint32_t MAX_REQUEST = 7 + 2 * MAX_REGISTERS;

// Told how many bytes of the dump have arrived so far, after every read cycle.
using EventProgress = void (*)(uint32_t received, void* data);
// Called after every read cycle of a transaction: the window installs one that keeps it live
// while a reply comes in. None by default, so the link runs alike without a window.
using LinkIdle = void (*)();

// The controllers' USB bridges attached now, by their product descriptions. The sysfs tree is
// KELVRA_SYSFS's when that is set (tests build one of their own).
std::vector<bridge::UsbTty> attached_bridges();

// Where and how a controller is reached.
struct LinkSettings {
    // Empty: the first bridge found by its USB product description (or KELVRA_PORT); else a
    // serial device path, or tcp://HOST:PORT, rfc2217://HOST:PORT, modbus-tcp://HOST[:PORT].
    std::string where;
    uint8_t slave = 1; // 1 to 247
    uint32_t baud = LINK_BAUD_RATE;
    uint32_t connect_ms = 5000;                     // a network connection's bound
    uint32_t first_byte_ms = FIRST_BYTE_TIMEOUT_MS; // the wait for a reply to begin
    int attempts = 2;                               // of a register request
};

// What went over the link in one session, for a support request.
struct LinkStats {
    uint64_t requests = 0, replies = 0, timeouts = 0, crc_errors = 0, exceptions = 0;
    uint64_t bytes_out = 0, bytes_in = 0;
    std::vector<double> response_ms; // each reply's time from request to its last byte
};

// One way to one controller: its settings, its open port and what went over it. Each operation
// holds the link's lock for its whole length; one started from inside another on the same
// thread (a handler that the event dispatch runs) is refused, so it can neither deadlock nor
// slip its requests between the running one's.
class Link {
  public:
    explicit Link(LinkSettings settings = {});
    ~Link();
    Link(const Link&) = delete;
    Link& operator=(const Link&) = delete;

    const LinkSettings& settings() const { return settings_; }
    // Takes effect at the next open.
    void set_settings(LinkSettings settings) { settings_ = std::move(settings); }
    void set_idle(LinkIdle hook) { idle_ = hook; }
    // Each frame, one line: seconds since the trace began, direction, bytes in hex. Null stops.
    void set_trace(FILE* trace);
    const LinkStats& stats() const { return stats_; }

    // 1 when the controller's port was opened and configured. 0 when it was not (*why says
    // why), when one is open already, or inside a running link operation.
    int open(bridge::OpenFailure* why = nullptr);
    // Closes the port, if open; does nothing inside a running link operation.
    void close();
    bool is_open() const;
    // What was opened: the device path or the URL.
    const std::string& opened() const { return opened_; }
    // Bytes the line was still sending when it was opened (the rest of an interrupted event
    // download), waited out and dropped.
    uint64_t drained() const { return drained_; }
    // The longest the controller goes on sending an event download nobody reads any more.
    uint32_t dump_seconds() const;

    int read_registers(uint16_t start, uint16_t count, uint16_t* values);
    int write_registers(uint16_t start, uint16_t count, const uint16_t* values);
    // On success *buffer holds exactly EVENTS_LENGTH bytes owned by the caller (g_free).
    int read_events(uint8_t** buffer, uint32_t* length, EventProgress progress = nullptr,
                    void* progress_data = nullptr);

    // Internal to the link, exposed for the requests and the tests.

    // One request with the single retry; reply needs room for REPLY_LIMIT bytes. `expected` is
    // the longest reply that can come, from which the whole reply's deadline follows.
    int comm(const uint8_t* request, uint32_t request_length, uint8_t* reply,
             uint32_t* reply_length, uint32_t expected = REPLY_LIMIT);
    // One transaction without retry: sends the request and its CRC, collects at most limit bytes
    // into reply. With crc_terminated the reply is a MODBUS frame that ends when its CRC closes;
    // without it, raw bytes until the line falls silent, or for the quiet time once exactly
    // `expected` have come. progress, when given, is told the count received after every read
    // cycle. Each byte must follow the one before within the byte
    // timeout, and the whole reply must be in by the line time of `expected` bytes (twice over)
    // after the first-byte timeout, so a line that trickles ends too. 1 with *reply_length set,
    // or 0 with *reply_length 0.
    int comm_once(const uint8_t* request, uint32_t request_length, uint8_t* reply,
                  uint32_t* reply_length, int32_t limit, bool crc_terminated,
                  EventProgress progress = nullptr, void* progress_data = nullptr,
                  uint32_t expected = REPLY_LIMIT);

  private:
    class Lock;
    // Collects a reply (see comm_once); a raw one that has `whole` bytes ends after quiet_ms_
    // of silence. The count, or -1 on a bridge failure.
    int64_t receive(uint8_t* reply, uint32_t limit, bool crc_terminated, uint32_t whole,
                    uint16_t& crc, EventProgress progress, void* progress_data, gint64 deadline);
    // Before a request: what remains of the byte timeout after a raw reply that ended by the
    // quiet time is waited out, and a late tail of that reply dropped with it.
    void settle();
    // Microseconds the line takes for `bytes`.
    gint64 line_us(uint64_t bytes) const;
    // Waits for the line to fall silent, dropping what comes; bounded by an event download.
    void drain();
    void trace(char direction, const uint8_t* bytes, size_t count);

    LinkSettings settings_;
    FT_HANDLE handle_ = nullptr;
    std::string opened_;
    GMutex mutex_;
    gpointer owner_ = nullptr; // the thread holding mutex_
    uint64_t drained_ = 0;
    uint32_t quiet_ms_ = QUIET_LINE_MS;
    gint64 settle_until_ = 0; // monotonic; 0: nothing to wait for
    LinkIdle idle_ = nullptr;
    LinkStats stats_;
    FILE* trace_ = nullptr;
    gint64 trace_start_ = 0;
};
