#include "formats/eventcsv.h"

#include "formats/datetime.h"

#include <glib.h>

#include <algorithm>
#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <tuple>

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

namespace {

constexpr uint64_t DAY_MS = 86400000;

std::string offset_text(int minutes) {
    char text[16];
    g_snprintf(text, sizeof text, "%c%02d:%02d", minutes < 0 ? '-' : '+', std::abs(minutes) / 60,
               std::abs(minutes) % 60);
    return text;
}

// The relays the layout keeps of a record.
uint16_t relay_mask(int relays) {
    return static_cast<uint16_t>((1u << std::clamp(relays, 0, EVENT_RELAYS)) - 1);
}

// Reads `count` digits at `at` (count 0: one to five) as a number.
bool digits(std::string_view s, size_t& at, int count, int64_t* value) {
    size_t begin = at, most = count ? static_cast<size_t>(count) : 5;
    *value = 0;
    while (at < s.size() && at - begin < most && g_ascii_isdigit(s[at]))
        *value = *value * 10 + (s[at++] - '0');
    return count ? at - begin == most : at > begin;
}

bool skip(std::string_view s, size_t& at, char c) {
    return at < s.size() && s[at] == c && ++at;
}

bool read_number(std::string_view text, int64_t high, int64_t* value) {
    size_t at = 0;
    return digits(text, at, 0, value) && at == text.size() && *value <= high;
}

// Milliseconds of a civil time, when its fields are in range.
bool civil_ms(int64_t y, int64_t mo, int64_t d, int64_t h, int64_t mi, int64_t s, int64_t ms,
              uint64_t* out) {
    if (mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 59)
        return false;
    *out = static_cast<uint64_t>(days_from_civil(y, static_cast<int>(mo), static_cast<int>(d))) *
               DAY_MS +
           static_cast<uint64_t>(((h * 60 + mi) * 60 + s) * 1000 + ms);
    return *out < (uint64_t{1} << 48);
}

// "2009-03-15T13:45:12.345+01:00" (the fraction and the offset may be left out) as
// milliseconds of the clock; the offset is not applied, the clock having none.
bool read_iso_time(std::string_view t, uint64_t* ms) {
    size_t at = 0;
    int64_t y, mo, d, h, mi, s, frac = 0, ignored;
    if (!digits(t, at, 0, &y) || at < 4 || y < 1970 || !skip(t, at, '-') ||
        !digits(t, at, 2, &mo) || !skip(t, at, '-') || !digits(t, at, 2, &d) || !skip(t, at, 'T') ||
        !digits(t, at, 2, &h) || !skip(t, at, ':') || !digits(t, at, 2, &mi) || !skip(t, at, ':') ||
        !digits(t, at, 2, &s))
        return false;
    if (skip(t, at, '.')) {
        size_t begin = at;
        if (!digits(t, at, 0, &frac) || at - begin > 3)
            return false;
        for (size_t i = at - begin; i < 3; ++i)
            frac *= 10;
    }
    bool zone = at == t.size() || (skip(t, at, 'Z') && at == t.size()) ||
                ((skip(t, at, '+') || skip(t, at, '-')) && digits(t, at, 2, &ignored) &&
                 skip(t, at, ':') && digits(t, at, 2, &ignored) && at == t.size());
    return zone && civil_ms(y, mo, d, h, mi, s, frac, ms);
}

// "13:45:12.34 15/03/09" of the export's layout. Its year is the clock's year minus 2000
// modulo 256: the years the clock can reach, 1970 to 2106, are told apart.
bool read_export_time(std::string_view t, uint64_t* ms) {
    size_t at = 0;
    int64_t h, mi, s, cs, d, mo, y;
    if (!digits(t, at, 2, &h) || !skip(t, at, ':') || !digits(t, at, 2, &mi) || !skip(t, at, ':') ||
        !digits(t, at, 2, &s) || !skip(t, at, '.') || !digits(t, at, 2, &cs) || !skip(t, at, ' ') ||
        !digits(t, at, 2, &d) || !skip(t, at, '/') || !digits(t, at, 2, &mo) || !skip(t, at, '/') ||
        !digits(t, at, 0, &y) || at != t.size() || y > 255)
        return false;
    return civil_ms(y >= 226 ? 1744 + y : 2000 + y, mo, d, h, mi, s, cs * 10, ms);
}

std::string column_row(int relays) {
    std::string row = "Time";
    for (const char* name : EVENT_CHANNEL_NAMES)
        row.append(",").append(name);
    for (int relay = 1; relay <= relays; ++relay)
        row.append(",Relay ").append(std::to_string(relay));
    return row.append("\n");
}

constexpr const char* TITLE = "# Event records of a temperature controller";

} // namespace

std::vector<EventRecord> dump_records(const uint8_t* dump, size_t length) {
    std::vector<EventRecord> records;
    if (length != EVENT_DUMP_SIZE)
        return records;
    records.reserve(EVENT_RECORD_COUNT);
    for (size_t n = 0; n < EVENT_RECORD_COUNT; ++n) {
        const uint8_t* bytes = dump + n * EVENT_RECORD_SIZE;
        if (!is_empty_record(bytes))
            records.push_back(decode_event_record(bytes));
    }
    return records;
}

namespace {
std::string iso_time(uint64_t milliseconds, const std::string& offset) {
    Civil c = civil_from_days(static_cast<int64_t>(milliseconds / DAY_MS));
    uint64_t in_day = milliseconds % DAY_MS;
    char text[48];
    g_snprintf(text, sizeof text, "%04" G_GINT64_FORMAT "-%02d-%02dT%02d:%02d:%02d.%03d%s", c.year,
               c.month, c.day, static_cast<int>(in_day / 3600000),
               static_cast<int>(in_day / 60000 % 60), static_cast<int>(in_day / 1000 % 60),
               static_cast<int>(in_day % 1000), offset.c_str());
    return text;
}
} // namespace

bool is_empty_record(const uint8_t* bytes) {
    auto all = [bytes](uint8_t b) {
        return std::all_of(bytes, bytes + EVENT_RECORD_SIZE, [b](uint8_t x) { return x == b; });
    };
    return all(0x00) || all(0xFF);
}

std::string iso_event_time(uint64_t milliseconds, int utc_offset_minutes) {
    return iso_time(milliseconds, offset_text(utc_offset_minutes));
}

int local_utc_offset_minutes() {
    GDateTime* now = g_date_time_new_now_local();
    auto minutes = static_cast<int>(g_date_time_get_utc_offset(now) / G_TIME_SPAN_MINUTE);
    g_date_time_unref(now);
    return minutes;
}

std::string event_iso_text(const EventFileHeader& h, const std::vector<EventRecord>& records) {
    std::string text = TITLE;
    text.append("\n# tool: ").append(h.tool);
    text.append("\n# asset: ").append(h.asset);
    text.append("\n# usb serial: ").append(h.serial);
    text.append("\n# variant: ").append(h.variant);
    text.append("\n# time zone: UTC").append(offset_text(h.utc_offset_minutes));
    text.append("\n# units: readings in degrees Celsius; relays Closed or Open\n");
    if (h.latest_count) {
        text.append("# latest download: ")
            .append(iso_event_time(h.latest_from, h.utc_offset_minutes));
        text.append(" to ").append(iso_event_time(h.latest_to, h.utc_offset_minutes));
        text.append(", ").append(std::to_string(h.latest_count)).append(" records\n");
    }
    int relays = std::clamp(h.relays, 0, EVENT_RELAYS);
    text.append(column_row(relays));
    text.reserve(text.size() + records.size() * (40 + 4 * 10 + 7 * relays));
    std::string offset = offset_text(h.utc_offset_minutes);
    for (const EventRecord& r : records) {
        text.append(iso_time(r.timestamp, offset));
        for (uint8_t reading : r.readings)
            text.append(",").append(std::to_string(reading));
        for (int j = 0; j < relays; ++j)
            text.append((r.relays >> j & 1) ? ",Closed" : ",Open");
        text.append("\n");
    }
    return text;
}

bool read_event_file(const std::string& text, EventFileHeader* header,
                     std::vector<EventRecord>* records, std::string* error) {
    *header = EventFileHeader{};
    records->clear();
    bool iso = false, columns = false;
    int number = 0;
    auto fail = [&](const char* why) {
        *error = "line " + std::to_string(number) + ": " + why;
        return false;
    };
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(at, end - at);
        at = end + 1;
        ++number;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty())
            continue;
        if (!columns && line[0] == '#') {
            size_t colon = line.find(": ");
            std::string key = line.size() > 2 && colon != std::string::npos && colon > 2
                                  ? line.substr(2, colon - 2)
                                  : "";
            std::string value = colon == std::string::npos ? "" : line.substr(colon + 2);
            if (key == "tool")
                header->tool = value;
            else if (key == "asset")
                header->asset = value;
            else if (key == "usb serial")
                header->serial = value;
            else if (key == "variant")
                header->variant = value;
            else if (key == "time zone") {
                int hours = 0, minutes = 0;
                char sign = '+';
                if (std::sscanf(value.c_str(), "UTC%c%2d:%2d", &sign, &hours, &minutes) == 3 &&
                    minutes < 60)
                    header->utc_offset_minutes = (sign == '-' ? -1 : 1) * (hours * 60 + minutes);
            } else if (key == "latest download") {
                // "FROM to TO, N records"
                size_t to = value.find(" to "), comma = value.find(", ");
                uint64_t from_ms = 0, to_ms = 0;
                if (to != std::string::npos && comma != std::string::npos && comma > to &&
                    read_iso_time(value.substr(0, to), &from_ms) &&
                    read_iso_time(value.substr(to + 4, comma - to - 4), &to_ms)) {
                    header->latest_from = from_ms;
                    header->latest_to = to_ms;
                    header->latest_count = std::strtoul(value.c_str() + comma + 2, nullptr, 10);
                }
            }
            continue;
        }
        if (!columns) {
            columns = true;
            iso = line.rfind("Time,", 0) == 0;
            header->relays = static_cast<int>(std::count(line.begin(), line.end(), ',')) - 10;
            if (header->relays < 0 || header->relays > EVENT_RELAYS ||
                line + "\n" != (iso ? column_row(header->relays) : event_csv_header()))
                return fail("not a column row of event records");
            continue;
        }
        // The row's cells, without a copy of each.
        std::string_view fields[11 + EVENT_RELAYS], row(line);
        size_t count = 0;
        for (size_t from = 0, comma = 0; comma != std::string_view::npos; from = comma + 1) {
            comma = row.find(',', from);
            if (count == std::size(fields))
                return fail("a row with another number of columns");
            fields[count++] =
                row.substr(from, comma == std::string_view::npos ? comma : comma - from);
        }
        if (count != static_cast<size_t>(11 + header->relays))
            return fail("a row with another number of columns");
        EventRecord r{};
        if (!(iso ? read_iso_time(fields[0], &r.timestamp)
                  : read_export_time(fields[0], &r.timestamp)))
            return fail("a time that is not one");
        for (size_t i = 0; i < 10; ++i) {
            int64_t value = 0;
            if (!read_number(fields[i + 1], 255, &value))
                return fail("a reading that is not 0 to 255");
            r.readings[i] = static_cast<uint8_t>(value);
        }
        for (int j = 0; j < header->relays; ++j) {
            std::string_view state = fields[static_cast<size_t>(11 + j)];
            if (state != "Closed" && state != "Open")
                return fail("a relay neither Closed nor Open");
            if (state == "Closed")
                r.relays = static_cast<uint16_t>(r.relays | 1u << j);
        }
        // The export's layout has every record of the memory; erased ones hold no event.
        bool erased = r.relays == 0xFFFF && std::all_of(r.readings.begin(), r.readings.end(),
                                                        [](uint8_t b) { return b == 255; });
        bool blank =
            r.timestamp == 0 && r.relays == 0 &&
            std::all_of(r.readings.begin(), r.readings.end(), [](uint8_t b) { return b == 0; });
        if (iso || (!erased && !blank))
            records->push_back(r);
    }
    if (!columns)
        return fail("no column row of event records");
    return true;
}

std::vector<EventRecord> merge_event_records(const std::vector<EventRecord>& kept,
                                             const std::vector<EventRecord>& added, int relays) {
    uint16_t mask = relay_mask(relays);
    auto key = [mask](const EventRecord& r) {
        return std::make_tuple(r.timestamp, r.readings, static_cast<uint16_t>(r.relays & mask));
    };
    std::vector<EventRecord> merged;
    merged.reserve(kept.size() + added.size());
    for (const auto* list : {&kept, &added})
        for (EventRecord r : *list) {
            r.relays &= mask;
            merged.push_back(r);
        }
    // Stable: records of one time keep the order they came in.
    std::stable_sort(merged.begin(), merged.end(), [](const EventRecord& a, const EventRecord& b) {
        return a.timestamp < b.timestamp;
    });
    // Each written record once, however often a download held it: records of one time are few,
    // so each is compared with those of its time before it.
    std::vector<EventRecord> once;
    once.reserve(merged.size());
    size_t same_time = 0;
    for (const EventRecord& r : merged) {
        if (once.empty() || once.back().timestamp != r.timestamp)
            same_time = once.size();
        bool seen = false;
        for (size_t i = same_time; i < once.size() && !seen; ++i)
            seen = key(once[i]) == key(r);
        if (!seen)
            once.push_back(r);
    }
    return once;
}
