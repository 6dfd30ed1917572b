// The event memory export: the dump's 18-byte records decoded and written as CSV lines. Free of
// the toolkit and of the link.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

constexpr size_t EVENT_RECORD_SIZE = 18;
constexpr size_t EVENT_RECORD_COUNT = 3584;
constexpr size_t EVENT_DUMP_SIZE = EVENT_RECORD_SIZE * EVENT_RECORD_COUNT; // 64512

// The readings' names, as the CSV's columns and the plot's legend call them; never translated.
constexpr const char* EVENT_CHANNEL_NAMES[10] = {"RTD1", "RTD2", "RTD3",   "RTD4",   "RTD5",
                                                 "RTD6", "Oil",  "Wdg. 1", "Wdg. 2", "Wdg. 3"};
constexpr int EVENT_RELAYS = 16;

struct EventRecord {
    uint64_t timestamp;               // milliseconds since 1970 of the device's clock, 48 bits
    std::array<uint8_t, 10> readings; // RTD 1 to 6, oil, windings 1 to 3
    uint16_t relays;                  // bit j is relay j + 1, set when closed
};

// Decodes one record from its bytes (little-endian, any alignment, any host byte order).
EventRecord decode_event_record(const uint8_t* bytes);

// "HH:MM:SS.CC DD/MM/YY" of a time stamp, as the CSV's first column shows it.
std::string event_time_text(uint64_t milliseconds);

// The header line and the line of one record, each with its newline.
std::string event_csv_header();
std::string event_csv_line(const EventRecord& record);

// Writes the header and one line per record of a whole dump. 1 when `length` is a whole dump and
// every line was written, else 0.
int write_event_csv(FILE* file, const uint8_t* dump, size_t length);
