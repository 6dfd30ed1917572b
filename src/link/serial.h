// link/: the way to the controller. The CRC, the subset of the D2XX interface with its POSIX
// bridge over the USB serial port, the transaction engine and the MODBUS requests built on it
// (functions 3 and 16, the event memory). It uses base/ and GLib only, so it runs alike under the
// window, the command line and the fuzzers; the window keeps itself live through the idle hook
// it installs here. Failures leave as the result codes below.
//
// This header: the engine and the requests.
#pragma once

#include <cstdint>

// Link result codes of the requests.
constexpr int LINK_OK = 1;
constexpr int LINK_COMM_FAILURE = 0;
constexpr int LINK_EXCEPTION = -1;
constexpr int LINK_REPLY_FAULT = -2;

constexpr uint16_t IDENTIFICATION_ADDRESS = 0xFFF0;
constexpr uint16_t IDENTIFICATION_COUNT = 9;
constexpr uint16_t EVENTS_ADDRESS = 0xFFE0;
constexpr uint32_t EVENTS_LENGTH = 0xFC00;

// 1 when a controller was found and configured. 0 when none was, when one is open already, or
// when called from inside a running link operation (the event dispatch of a transaction).
int serial_open();
// Closes the open controller, if any; does nothing inside a running link operation.
void serial_close();
// One request with the single retry; reply needs room for 1024 bytes.
int serial_comm(const uint8_t* request, uint32_t request_length, uint8_t* reply,
                uint32_t* reply_length);

int read_registers(uint16_t start, uint16_t count, uint16_t* values);
int write_registers(uint16_t start, uint16_t count, const uint16_t* values);

// Told how many bytes of the dump have arrived so far, after every read cycle.
using EventProgress = void (*)(uint32_t received, void* data);
// On success *buffer holds exactly EVENTS_LENGTH bytes owned by the caller (g_free).
int read_events(uint8_t** buffer, uint32_t* length, EventProgress progress = nullptr,
                void* progress_data = nullptr);

// Internal to the link, exposed for the requests and the tests.

// One transaction without retry: sends the request and its CRC, collects at most limit bytes
// into reply. With crc_terminated the reply is a MODBUS frame that ends when its CRC closes;
// without it, raw bytes until the line falls silent. progress, when given, is told the count
// received after every read cycle. 1 with *reply_length set, or 0 with *reply_length 0.
// A link operation started while this thread runs one (from the event dispatch or from
// progress) is refused with 0.
int serial_comm_once(const uint8_t* request, uint32_t request_length, uint8_t* reply,
                     uint32_t* reply_length, int32_t limit, bool crc_terminated,
                     EventProgress progress = nullptr, void* progress_data = nullptr);

// Product descriptions of the controllers' USB bridges, in the order they are tried.
constexpr const char* DEVICE_DESCRIPTIONS[] = {"UNIT-A/1", "UNIT-A/2", "UNIT-A/3", "UNIT-B/1",
                                               "UNIT-B/2", "UNIT-B/3", "UNIT-C/1", "UNIT-C/2",
                                               "UNIT-C/3", "UNIT-D/1", "UNIT-D/2", "UNIT-D/3"};

constexpr uint32_t LINK_BAUD_RATE = 115200;
constexpr uint32_t FIRST_BYTE_TIMEOUT_MS = 2000;
constexpr uint32_t NEXT_BYTE_TIMEOUT_MS = 1000;
constexpr int32_t REPLY_LIMIT = 1024;
constexpr int32_t EVENTS_LIMIT = 0x40000;
constexpr uint16_t MAX_REGISTERS = 127;
// The longest request: a write of MAX_REGISTERS registers, without its CRC.
constexpr uint32_t MAX_REQUEST = 7 + 2 * MAX_REGISTERS;

// Called after every read cycle of a transaction: the window installs one that keeps it live
// while a reply comes in. None by default, so the link runs alike without a window.
using LinkIdle = void (*)();
void serial_set_idle(LinkIdle hook);

// True while a device is open.
bool serial_is_open();
