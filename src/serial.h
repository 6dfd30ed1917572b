// The link to the controller: the transaction engine over the USB bridge, and the MODBUS
// requests built on it.
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

int serial_open();
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
