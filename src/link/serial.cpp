#include "link/serial.h"
#include "base/gmem.h"

#include "link/crc16.h"
#include "link/ftd2xx.h"
#include "link/netport.h"

#include <algorithm>
#include <cstring>
#include <memory>

// The link's lock for one operation; not taken when this thread already holds it.
class Link::Lock {
  public:
    explicit Lock(Link& link) : link_(link) {
        if (g_atomic_pointer_get(&link_.owner_) == g_thread_self())
            return;
        g_mutex_lock(&link_.mutex_);
        g_atomic_pointer_set(&link_.owner_, g_thread_self());
        held_ = true;
    }
    ~Lock() {
        if (!held_)
            return;
        g_atomic_pointer_set(&link_.owner_, nullptr);
        g_mutex_unlock(&link_.mutex_);
    }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;
    explicit operator bool() const { return held_; }

  private:
    Link& link_;
    bool held_ = false;
};

namespace {

bool send_all(FT_HANDLE handle, const uint8_t* data, uint32_t length) {
    uint32_t sent = 0;
    while (sent < length) {
        uint32_t written = 0;
        if (FT_Write(handle, data + sent, length - sent, &written) != FT_OK || written == 0)
            return false;
        sent += written;
    }
    return true;
}

void put16(uint8_t* at, uint16_t value) {
    at[0] = static_cast<uint8_t>(value >> 8);
    at[1] = static_cast<uint8_t>(value & 0xFF);
}

// Slave, function, first register and count: the first six bytes of every request.
void put_header(uint8_t* request, uint8_t slave, uint8_t function, uint16_t start, uint16_t count) {
    request[0] = slave;
    request[1] = function;
    put16(request + 2, start);
    put16(request + 4, count);
}

} // namespace

std::vector<bridge::UsbTty> attached_bridges() {
    const char* sysfs = g_getenv("KELVRA_SYSFS");
    std::vector<bridge::UsbTty> found;
    for (const bridge::UsbTty& t : bridge::usb_ttys(sysfs ? sysfs : "/sys"))
        for (const char* description : DEVICE_DESCRIPTIONS)
            if (t.product == description)
                found.push_back(t);
    return found;
}

Link::Link(LinkSettings settings) : settings_(std::move(settings)) {
    g_mutex_init(&mutex_);
}

Link::~Link() {
    close();
    g_mutex_clear(&mutex_);
}

bool Link::is_open() const {
    return handle_ != nullptr;
}

void Link::set_trace(FILE* trace) {
    trace_ = trace;
    trace_start_ = g_get_monotonic_time();
}

void Link::trace(char direction, const uint8_t* bytes, size_t count) {
    if (!trace_)
        return;
    gint64 us = g_get_monotonic_time() - trace_start_;
    std::fprintf(trace_, "%" G_GINT64_FORMAT ".%06" G_GINT64_FORMAT " %c", us / 1000000,
                 us % 1000000, direction);
    for (size_t i = 0; i < count; ++i)
        std::fprintf(trace_, " %02x", bytes[i]);
    std::fputc('\n', trace_);
    std::fflush(trace_);
}

int Link::open(bridge::OpenFailure* why) {
    Lock lock(*this);
    // Refused inside a running operation; and a second open would leak the first handle.
    if (!lock || handle_)
        return 0;
    bridge::OpenFailure failure;
    std::unique_ptr<bridge::Port> port;
    const std::string& where = settings_.where;
    if (bridge::is_network(where) || where.find("://") != std::string::npos) {
        bridge::open_network(where, settings_.connect_ms, port, &failure);
        opened_ = where;
    } else if (!where.empty()) {
        bridge::open_posix(where, port, &failure);
        opened_ = where;
    } else {
        // The first bridge found that would not open says why, unless another one opens.
        failure.kind = bridge::OpenFailure::not_found;
        for (const char* description : DEVICE_DESCRIPTIONS) {
            bridge::OpenFailure tried;
            if (bridge::open_described(description, port, &tried) == FT_OK && port) {
                failure = tried;
                break;
            }
            if (failure.kind == bridge::OpenFailure::not_found)
                failure = tried;
        }
        opened_ = failure.where;
    }
    if (!port) {
        if (why)
            *why = failure;
        return 0;
    }
    FT_HANDLE opened = port.release();
    if (FT_SetBaudRate(opened, settings_.baud) != FT_OK ||
        FT_SetDataCharacteristics(opened, FT_BITS_8, FT_STOP_BITS_1, FT_PARITY_NONE) != FT_OK ||
        FT_SetFlowControl(opened, FT_FLOW_NONE, 0, 0) != FT_OK ||
        FT_Purge(opened, FT_PURGE_RX | FT_PURGE_TX) != FT_OK ||
        FT_SetTimeouts(opened, settings_.first_byte_ms, settings_.first_byte_ms) != FT_OK) {
        FT_Close(opened);
        if (why)
            *why = {bridge::OpenFailure::other, opened_, ""};
        return 0;
    }
    handle_ = opened;
    quiet_ms_ = bridge::is_network(where) ? QUIET_NETWORK_MS : QUIET_LINE_MS;
    settle_until_ = 0;
    drain();
    return 1;
}

void Link::close() {
    Lock lock(*this);
    // Inside a running transaction the handle stays: closing it there would pull the device
    // from under the transaction.
    if (!lock)
        return;
    if (handle_)
        FT_Close(handle_);
    handle_ = nullptr;
}

gint64 Link::line_us(uint64_t bytes) const {
    return static_cast<gint64>(bytes * 10 * G_USEC_PER_SEC / std::max<uint32_t>(settings_.baud, 1));
}

uint32_t Link::dump_seconds() const {
    return static_cast<uint32_t>(line_us(EVENTS_LENGTH) / G_USEC_PER_SEC + 1);
}

void Link::drain() {
    drained_ = 0;
    // Long enough for a byte to arrive on a line that is sending, short for one that is not.
    gint64 quiet = std::max<gint64>(5000, line_us(20));
    gint64 bound = g_get_monotonic_time() + line_us(EVENTS_LENGTH) + 2 * G_USEC_PER_SEC;
    uint8_t drop[4096];
    for (;;) {
        g_usleep(static_cast<gulong>(quiet));
        uint32_t queued = 0;
        if (FT_GetQueueStatus(handle_, &queued) != FT_OK || queued == 0 ||
            g_get_monotonic_time() > bound)
            return;
        uint32_t got = 0;
        FT_SetTimeouts(handle_, 0, 0);
        FT_Read(handle_, drop, std::min<uint32_t>(queued, sizeof drop), &got);
        FT_SetTimeouts(handle_, settings_.first_byte_ms, settings_.first_byte_ms);
        drained_ += got;
        // A line that was sending has ended only after a silence no busy host or server
        // makes between its bytes.
        quiet = std::max<gint64>(250000, line_us(20));
    }
}

// Reads a reply in cycles: one blocking byte, then everything already queued. Returns the
// count received, or -1 on a bridge failure.
int64_t Link::receive(uint8_t* reply, uint32_t limit, bool crc_terminated, uint32_t whole,
                      uint16_t& crc, EventProgress progress, void* progress_data, gint64 deadline) {
    uint32_t received = 0;
    crc = 0xFFFF;
    while (received < limit && !(crc_terminated && crc == 0)) {
        uint32_t got = 0;
        if (FT_Read(handle_, reply + received, 1, &got) != FT_OK)
            return -1;
        if (got == 0)
            break; // silence for the read timeout ends the reply
        crc = crc16_modbus_1(crc, reply[received]);
        ++received;

        uint32_t queued = 0;
        if (FT_GetQueueStatus(handle_, &queued) != FT_OK)
            return -1;
        uint32_t want = std::min(queued, limit - received);
        got = 0;
        if (FT_Read(handle_, reply + received, want, &got) != FT_OK)
            return -1;
        for (uint32_t i = 0; i < got; ++i)
            crc = crc16_modbus_1(crc, reply[received + i]);
        received += got;

        // A raw reply with its whole length needs only a short silence to show it has no more;
        // one byte further it is too long, and ends by the byte timeout as any other.
        uint32_t next = !crc_terminated && received == whole ? quiet_ms_ : NEXT_BYTE_TIMEOUT_MS;
        if (FT_SetTimeouts(handle_, next, next) != FT_OK)
            return -1;
        if (progress)
            progress(received, progress_data);
        if (idle_)
            idle_();
        if (g_get_monotonic_time() > deadline)
            break; // a line that trickles: what came is judged as it is
    }
    return received;
}

void Link::settle() {
    gint64 left = settle_until_ - g_get_monotonic_time();
    settle_until_ = 0;
    if (left <= 0)
        return;
    // Read as a raw reply of its own: once a tail comes, it ends by the byte timeout.
    auto ms = static_cast<uint32_t>((left + 999) / 1000);
    if (FT_SetTimeouts(handle_, ms, ms) != FT_OK)
        return;
    gint64 bound = g_get_monotonic_time() + line_us(EVENTS_LIMIT) + 2 * G_USEC_PER_SEC;
    uint8_t tail[4096];
    uint16_t crc = 0;
    int64_t got = 0;
    do {
        got = receive(tail, sizeof tail, false, 0, crc, nullptr, nullptr, bound);
        if (got > 0) {
            stats_.bytes_in += static_cast<uint64_t>(got);
            trace('<', tail, static_cast<size_t>(got));
        }
    } while (got == sizeof tail);
}

int Link::comm_once(const uint8_t* request, uint32_t request_length, uint8_t* reply,
                    uint32_t* reply_length, int32_t limit, bool crc_terminated,
                    EventProgress progress, void* progress_data, uint32_t expected) {
    if (!reply_length)
        return 0;
    *reply_length = 0;
    Lock lock(*this);
    if (!lock || !handle_ || (!request && request_length) || (!reply && limit > 0))
        return 0;
    settle();
    // The request and its CRC go out in one write: written apart, the bridge may send them in two
    // USB transfers, and a gap inside a frame longer than 1.5 characters makes an RTU device
    // drop it.
    uint8_t frame[MAX_REQUEST + 2];
    if (request_length > MAX_REQUEST)
        return 0;
    if (request_length)
        std::memcpy(frame, request, request_length);
    uint16_t crc = crc16_modbus(request, request_length);
    frame[request_length] = static_cast<uint8_t>(crc & 0xFF);
    frame[request_length + 1] = static_cast<uint8_t>(crc >> 8);
    ++stats_.requests;
    stats_.bytes_out += request_length + 2;
    trace('>', frame, request_length + 2);
    gint64 sent = g_get_monotonic_time();
    if (FT_Purge(handle_, FT_PURGE_RX | FT_PURGE_TX) != FT_OK ||
        FT_SetTimeouts(handle_, settings_.first_byte_ms, settings_.first_byte_ms) != FT_OK ||
        !send_all(handle_, frame, request_length + 2))
        return 0;
    uint16_t running = 0xFFFF;
    gint64 deadline = sent + gint64{settings_.first_byte_ms} * 1000 + 2 * line_us(expected);
    int64_t received = receive(reply, limit > 0 ? static_cast<uint32_t>(limit) : 0, crc_terminated,
                               expected, running, progress, progress_data, deadline);
    // Ended by the short quiet: a tail may still be on its way within the byte timeout, and is
    // not to run into the next reply.
    if (!crc_terminated && received == expected)
        settle_until_ = g_get_monotonic_time() + gint64{NEXT_BYTE_TIMEOUT_MS - quiet_ms_} * 1000;
    if (received > 0) {
        stats_.bytes_in += static_cast<uint64_t>(received);
        trace('<', reply, static_cast<size_t>(received));
    }
    if (received == 0)
        ++stats_.timeouts;
    else if (received > 0 && crc_terminated && running != 0)
        ++stats_.crc_errors;
    if (received < 3 || (crc_terminated && running != 0))
        return 0;
    ++stats_.replies;
    stats_.response_ms.push_back(static_cast<double>(g_get_monotonic_time() - sent) / 1000.0);
    *reply_length = static_cast<uint32_t>(received);
    return 1;
}

int Link::comm(const uint8_t* request, uint32_t request_length, uint8_t* reply,
               uint32_t* reply_length, uint32_t expected) {
    for (int attempt = 0; attempt < settings_.attempts; ++attempt)
        if (comm_once(request, request_length, reply, reply_length, REPLY_LIMIT, true, nullptr,
                      nullptr, expected))
            return 1;
    return 0;
}

namespace {

// The verdict on a 5-byte reply: an exception from our slave, or something else.
int exception_reply(const uint8_t* reply, uint8_t slave, uint8_t exception_function) {
    if (reply[0] != slave)
        return LINK_REPLY_FAULT;
    return reply[1] == exception_function ? LINK_EXCEPTION : LINK_REPLY_FAULT;
}

} // namespace

int Link::read_registers(uint16_t start, uint16_t count, uint16_t* values) {
    if (count && !values)
        return LINK_COMM_FAILURE;
    uint8_t request[REPLY_LIMIT];
    uint8_t reply[REPLY_LIMIT];
    uint8_t slave = settings_.slave;
    put_header(request, slave, 0x03, start, count);
    uint32_t length = 0;
    if (!comm(request, 6, reply, &length, 2u * count + 5u))
        return LINK_COMM_FAILURE;
    if (length == 2u * count + 5u) {
        if (reply[0] != slave || reply[1] != 0x03 || reply[2] != 2u * count)
            return LINK_REPLY_FAULT;
        for (unsigned k = 0; k < count; ++k)
            values[k] = static_cast<uint16_t>(reply[3 + 2 * k] << 8 | reply[4 + 2 * k]);
        return LINK_OK;
    }
    if (length == 5) {
        int verdict = exception_reply(reply, slave, 0x83);
        stats_.exceptions += verdict == LINK_EXCEPTION;
        return verdict;
    }
    return LINK_REPLY_FAULT;
}

int Link::write_registers(uint16_t start, uint16_t count, const uint16_t* values) {
    // The byte count field is one byte: a longer write could only be sent mangled.
    if (count > MAX_REGISTERS)
        return LINK_REPLY_FAULT;
    if (count && !values)
        return LINK_COMM_FAILURE;
    uint8_t request[REPLY_LIMIT];
    uint8_t reply[REPLY_LIMIT];
    put_header(request, settings_.slave, 0x10, start, count);
    request[6] = static_cast<uint8_t>(2 * count);
    for (unsigned k = 0; k < count; ++k)
        put16(request + 7 + 2 * k, values[k]);
    uint32_t length = 0;
    if (!comm(request, 7 + 2u * count, reply, &length, 8))
        return LINK_COMM_FAILURE;
    if (length == 8) {
        for (int i = 0; i < 6; ++i)
            if (reply[i] != request[i])
                return LINK_REPLY_FAULT;
        return LINK_OK;
    }
    if (length == 5) {
        int verdict = exception_reply(reply, settings_.slave, 0x90);
        stats_.exceptions += verdict == LINK_EXCEPTION;
        return verdict;
    }
    return LINK_REPLY_FAULT;
}

int Link::read_events(uint8_t** buffer, uint32_t* length, EventProgress progress,
                      void* progress_data) {
    if (!buffer || !length)
        return LINK_COMM_FAILURE;
    *buffer = nullptr;
    *length = 0;
    GPtr<uint8_t> dump(static_cast<uint8_t*>(g_malloc(EVENTS_LIMIT)));
    uint8_t request[6];
    put_header(request, settings_.slave, 0x03, EVENTS_ADDRESS, 1);
    // A single attempt: the dump takes seconds at this baud rate.
    if (!comm_once(request, sizeof request, dump.get(), length, EVENTS_LIMIT, false, progress,
                   progress_data, EVENTS_LENGTH))
        return LINK_COMM_FAILURE;
    if (*length != EVENTS_LENGTH)
        return LINK_REPLY_FAULT;
    *buffer = dump.release();
    return LINK_OK;
}
