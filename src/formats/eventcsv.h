// The event memory export: the dump's 18-byte records decoded and written as CSV lines. Free of
// the toolkit and of the link.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

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

// The layout that explains itself (events --iso, and the history's events.csv): `#` lines that
// say what the records are, the column row, then one row per written record with its time in
// ISO 8601 and only the relays the controller has.
struct EventFileHeader {
    std::string tool;    // program and version
    std::string asset;   // the history's name of the controller, when it has one
    std::string serial;  // its USB bridge's serial number, when reached over USB
    std::string variant; // program name of the parameter map
    int relays = EVENT_RELAYS;
    // The controller's clock keeps local time without a zone: the offset from UTC of the
    // computer's zone when the records came in.
    int utc_offset_minutes = 0;
    // The latest download's first and last record, milliseconds of the controller's clock, and
    // how many written records it held; 0 when unknown.
    uint64_t latest_from = 0, latest_to = 0;
    size_t latest_count = 0;
};

// A record that holds no event: erased memory (0xFF) or never written (0).
bool is_empty_record(const uint8_t* bytes);
// The written records of a whole dump, in its order: erased (0xFF) and blank (0) records left
// out. Empty when `length` is not a whole dump.
std::vector<EventRecord> dump_records(const uint8_t* dump, size_t length);

// "2009-03-15T13:45:12.34+01:00" of a time of the controller's clock (any 48-bit count).
std::string iso_event_time(uint64_t milliseconds, int utc_offset_minutes);
// The offset from UTC of the computer's zone now, in minutes.
int local_utc_offset_minutes();

// The whole file in the ISO layout.
std::string event_iso_text(const EventFileHeader& header, const std::vector<EventRecord>& records);

// Reads a file of either layout (the ISO one, or the export's with its erased records, which
// are left out). False, with *error saying which line is wrong, when it is neither.
bool read_event_file(const std::string& text, EventFileHeader* header,
                     std::vector<EventRecord>* records, std::string* error);

// `kept` with the records of `added` it does not hold yet, each written record once, in time
// order. Relays beyond `relays` are not compared (the ISO layout does not keep them).
std::vector<EventRecord> merge_event_records(const std::vector<EventRecord>& kept,
                                             const std::vector<EventRecord>& added, int relays);
