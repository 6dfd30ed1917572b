#include "formats/eventlog.h"

#include <algorithm>

bool is_empty_record(const uint8_t* bytes) {
    auto all = [bytes](uint8_t b) {
        return std::all_of(bytes, bytes + EVENT_RECORD_SIZE, [b](uint8_t x) { return x == b; });
    };
    return all(0x00) || all(0xFF);
}

bool is_valid_event_time(uint64_t milliseconds) {
    return milliseconds > 0 && milliseconds / 1000 <= UINT32_MAX;
}

EventLog read_event_log(const uint8_t* dump, size_t length) {
    EventLog log;
    if (length != EVENT_DUMP_SIZE)
        return log;
    for (size_t n = 0; n < EVENT_RECORD_COUNT; ++n) {
        const uint8_t* bytes = dump + n * EVENT_RECORD_SIZE;
        if (is_empty_record(bytes))
            continue;
        EventRecord r = decode_event_record(bytes);
        log.events.push_back({n, r, is_valid_event_time(r.timestamp)});
    }
    // The memory is a ring: once full, the newest records overwrite the oldest.
    std::stable_sort(log.events.begin(), log.events.end(), [](const Event& a, const Event& b) {
        if (a.valid != b.valid)
            return a.valid;
        return a.valid && a.record.timestamp < b.record.timestamp;
    });
    for (const Event& e : log.events) {
        if (!e.valid)
            break;
        ++log.valid_count;
        for (size_t i = 0; i < e.record.readings.size(); ++i)
            if (e.record.readings[i] > 0)
                log.channels |= static_cast<uint16_t>(1u << i);
    }
    if (log.valid_count) {
        log.first = log.events.front().record.timestamp;
        log.last = log.events[log.valid_count - 1].record.timestamp;
    }
    return log;
}
