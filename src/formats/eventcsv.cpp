#include "formats/eventcsv.h"

#include "formats/datetime.h"

#include <glib.h>

EventRecord decode_event_record(const uint8_t* bytes) {
    EventRecord r{};
    for (int i = 5; i >= 0; --i)
        r.timestamp = r.timestamp << 8 | bytes[i];
    for (size_t i = 0; i < r.readings.size(); ++i)
        r.readings[i] = bytes[6 + i];
    r.relays = static_cast<uint16_t>(bytes[16] | bytes[17] << 8);
    return r;
}

std::string event_csv_header() {
    std::string line = "HH:MM:SS.CC DD/MM/YY,";
    for (const char* name : EVENT_CHANNEL_NAMES)
        line += std::string(name) + ",";
    for (int relay = 1; relay <= EVENT_RELAYS; ++relay) {
        line += "Relay " + std::to_string(relay);
        line += relay < EVENT_RELAYS ? "," : "\n";
    }
    return line;
}

std::string event_time_text(uint64_t milliseconds) {
    EventTime t{};
    pcf8583_gmtime(&t, milliseconds);
    char time[32];
    g_snprintf(time, sizeof time, "%02d:%02d:%02d.%02d %02d/%02d/%02d", t.hours, t.minutes,
               t.seconds, t.hundredths, t.day, t.month, t.year);
    return time;
}

std::string event_csv_line(const EventRecord& record) {
    std::string line = event_time_text(record.timestamp) + ",";
    for (uint8_t reading : record.readings)
        line += std::to_string(reading) + ",";
    for (int j = 0; j < 16; ++j) {
        line += (record.relays >> j & 1) ? "Closed" : "Open";
        line += j < 15 ? "," : "\n";
    }
    return line;
}

int write_event_csv(FILE* file, const uint8_t* dump, size_t length) {
    if (length != EVENT_DUMP_SIZE)
        return 0;
    std::string header = event_csv_header();
    if (std::fwrite(header.data(), 1, header.size(), file) != header.size())
        return 0;
    for (size_t n = 0; n < EVENT_RECORD_COUNT; ++n) {
        std::string line = event_csv_line(decode_event_record(dump + n * EVENT_RECORD_SIZE));
        if (std::fwrite(line.data(), 1, line.size(), file) != line.size())
            return 0;
    }
    return 1;
}
