#include "link/serial.h"
#include "base/gmem.h"

#include "link/crc16.h"
#include "link/ftd2xx.h"

#include <algorithm>
#include <cstring>
#include <glib.h>
#include <memory>

namespace {

FT_HANDLE handle = nullptr;
GMutex g__serial_lock; // static storage: usable without initialisation
// The thread holding g__serial_lock: a link operation started from a handler that the
// transaction's event dispatch runs finds its own thread here and is refused, so it can
// neither deadlock nor slip its requests between ours.
gpointer lock_owner = nullptr;

class LinkLock {
  public:
    LinkLock() {
        if (g_atomic_pointer_get(&lock_owner) == g_thread_self())
            return;
        g_mutex_lock(&g__serial_lock);
        g_atomic_pointer_set(&lock_owner, g_thread_self());
        held_ = true;
    }
    ~LinkLock() {
        if (!held_)
            return;
        g_atomic_pointer_set(&lock_owner, nullptr);
        g_mutex_unlock(&g__serial_lock);
    }
    LinkLock(const LinkLock&) = delete;
    LinkLock& operator=(const LinkLock&) = delete;
    explicit operator bool() const { return held_; }

  private:
    bool held_ = false;
};

bool send_all(const uint8_t* data, uint32_t length) {
    uint32_t sent = 0;
    while (sent < length) {
        uint32_t written = 0;
        if (FT_Write(handle, data + sent, length - sent, &written) != FT_OK || written == 0)
            return false;
        sent += written;
    }
    return true;
}

LinkIdle idle = nullptr;

// Reads a reply in cycles: one blocking byte, then everything already queued. Returns the
// count received, or -1 on a bridge failure.
int64_t receive(uint8_t* reply, uint32_t limit, bool crc_terminated, uint16_t& crc,
                EventProgress progress, void* progress_data) {
    uint32_t received = 0;
    crc = 0xFFFF;
    while (received < limit && !(crc_terminated && crc == 0)) {
        uint32_t got = 0;
        if (FT_Read(handle, reply + received, 1, &got) != FT_OK)
            return -1;
        if (got == 0)
            break; // silence for the read timeout ends the reply
        crc = crc16_modbus_1(crc, reply[received]);
        ++received;

        uint32_t queued = 0;
        if (FT_GetQueueStatus(handle, &queued) != FT_OK)
            return -1;
        uint32_t want = std::min(queued, limit - received);
        got = 0;
        if (FT_Read(handle, reply + received, want, &got) != FT_OK)
            return -1;
        for (uint32_t i = 0; i < got; ++i)
            crc = crc16_modbus_1(crc, reply[received + i]);
        received += got;

        if (FT_SetTimeouts(handle, NEXT_BYTE_TIMEOUT_MS, NEXT_BYTE_TIMEOUT_MS) != FT_OK)
            return -1;
        if (progress)
            progress(received, progress_data);
        if (idle)
            idle();
    }
    return received;
}

} // namespace

void serial_set_idle(LinkIdle hook) {
    idle = hook;
}

bool serial_is_open() {
    return g_atomic_pointer_get(&handle) != nullptr;
}

int serial_open() {
    LinkLock lock;
    // Refused inside a running operation; and a second open would leak the first handle.
    if (!lock || handle)
        return 0;
    FT_HANDLE opened = nullptr;
    for (const char* description : DEVICE_DESCRIPTIONS) {
        if (FT_OpenEx(const_cast<char*>(description), FT_OPEN_BY_DESCRIPTION, &opened) == FT_OK)
            break;
        opened = nullptr;
    }
    if (!opened)
        return 0;
    if (FT_SetBaudRate(opened, LINK_BAUD_RATE) != FT_OK ||
        FT_SetDataCharacteristics(opened, FT_BITS_8, FT_STOP_BITS_1, FT_PARITY_NONE) != FT_OK ||
        FT_SetFlowControl(opened, FT_FLOW_NONE, 0, 0) != FT_OK ||
        FT_Purge(opened, FT_PURGE_RX | FT_PURGE_TX) != FT_OK ||
        FT_SetTimeouts(opened, FIRST_BYTE_TIMEOUT_MS, FIRST_BYTE_TIMEOUT_MS) != FT_OK) {
        FT_Close(opened);
        return 0;
    }
    handle = opened;
    return 1;
}

void serial_close() {
    LinkLock lock;
    // Inside a running transaction the handle stays: closing it there would pull the device
    // from under the transaction.
    if (!lock)
        return;
    if (handle)
        FT_Close(handle);
    handle = nullptr;
}

int serial_comm_once(const uint8_t* request, uint32_t request_length, uint8_t* reply,
                     uint32_t* reply_length, int32_t limit, bool crc_terminated,
                     EventProgress progress, void* progress_data) {
    if (!reply_length)
        return 0;
    *reply_length = 0;
    LinkLock lock;
    if (!lock || (!request && request_length) || (!reply && limit > 0))
        return 0;
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
    if (FT_Purge(handle, FT_PURGE_RX | FT_PURGE_TX) != FT_OK ||
        FT_SetTimeouts(handle, FIRST_BYTE_TIMEOUT_MS, FIRST_BYTE_TIMEOUT_MS) != FT_OK ||
        !send_all(frame, request_length + 2))
        return 0;
    uint16_t running = 0xFFFF;
    int64_t received = receive(reply, limit > 0 ? static_cast<uint32_t>(limit) : 0, crc_terminated,
                               running, progress, progress_data);
    if (received < 3 || (crc_terminated && running != 0))
        return 0;
    *reply_length = static_cast<uint32_t>(received);
    return 1;
}

int serial_comm(const uint8_t* request, uint32_t request_length, uint8_t* reply,
                uint32_t* reply_length) {
    for (int attempt = 0; attempt < 2; ++attempt)
        if (serial_comm_once(request, request_length, reply, reply_length, REPLY_LIMIT, true))
            return 1;
    return 0;
}

namespace {

void put16(uint8_t* at, uint16_t value) {
    at[0] = static_cast<uint8_t>(value >> 8);
    at[1] = static_cast<uint8_t>(value & 0xFF);
}

// Slave, function, first register and count: the first six bytes of every request.
void put_header(uint8_t* request, uint8_t function, uint16_t start, uint16_t count) {
    request[0] = 0x01;
    request[1] = function;
    put16(request + 2, start);
    put16(request + 4, count);
}

// The verdict on a 5-byte reply: an exception from our slave, or something else.
int exception_reply(const uint8_t* reply, uint8_t exception_function) {
    if (reply[0] != 0x01)
        return LINK_REPLY_FAULT;
    return reply[1] == exception_function ? LINK_EXCEPTION : LINK_REPLY_FAULT;
}

} // namespace

int read_registers(uint16_t start, uint16_t count, uint16_t* values) {
    if (count && !values)
        return LINK_COMM_FAILURE;
    uint8_t request[REPLY_LIMIT];
    uint8_t reply[REPLY_LIMIT];
    put_header(request, 0x03, start, count);
    uint32_t length = 0;
    if (!serial_comm(request, 6, reply, &length))
        return LINK_COMM_FAILURE;
    if (length == 2u * count + 5u) {
        if (reply[0] != 0x01 || reply[1] != 0x03 || reply[2] != 2u * count)
            return LINK_REPLY_FAULT;
        for (unsigned k = 0; k < count; ++k)
            values[k] = static_cast<uint16_t>(reply[3 + 2 * k] << 8 | reply[4 + 2 * k]);
        return LINK_OK;
    }
    if (length == 5)
        return exception_reply(reply, 0x83);
    return LINK_REPLY_FAULT;
}

int write_registers(uint16_t start, uint16_t count, const uint16_t* values) {
    // The byte count field is one byte: a longer write could only be sent mangled.
    if (count > MAX_REGISTERS)
        return LINK_REPLY_FAULT;
    if (count && !values)
        return LINK_COMM_FAILURE;
    uint8_t request[REPLY_LIMIT];
    uint8_t reply[REPLY_LIMIT];
    put_header(request, 0x10, start, count);
    request[6] = static_cast<uint8_t>(2 * count);
    for (unsigned k = 0; k < count; ++k)
        put16(request + 7 + 2 * k, values[k]);
    uint32_t length = 0;
    if (!serial_comm(request, 7 + 2u * count, reply, &length))
        return LINK_COMM_FAILURE;
    if (length == 8) {
        for (int i = 0; i < 6; ++i)
            if (reply[i] != request[i])
                return LINK_REPLY_FAULT;
        return LINK_OK;
    }
    if (length == 5)
        return exception_reply(reply, 0x90);
    return LINK_REPLY_FAULT;
}

int read_events(uint8_t** buffer, uint32_t* length, EventProgress progress, void* progress_data) {
    if (!buffer || !length)
        return LINK_COMM_FAILURE;
    *buffer = nullptr;
    *length = 0;
    GPtr<uint8_t> dump(static_cast<uint8_t*>(g_malloc(EVENTS_LIMIT)));
    uint8_t request[6];
    put_header(request, 0x03, EVENTS_ADDRESS, 1);
    // A single attempt: the dump takes seconds at this baud rate.
    if (!serial_comm_once(request, sizeof request, dump.get(), length, EVENTS_LIMIT, false,
                          progress, progress_data))
        return LINK_COMM_FAILURE;
    if (*length != EVENTS_LENGTH)
        return LINK_REPLY_FAULT;
    *buffer = dump.release();
    return LINK_OK;
}
