#include "formats/eventlog.h"

#include <algorithm>

bool is_valid_event_time(uint64_t milliseconds) {
    return milliseconds > 0 && milliseconds / 1000 <= UINT32_MAX;
}

namespace {
EventLog event_log_of(std::vector<Event> events) {
    EventLog log;
    log.events = std::move(events);
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
} // namespace

EventLog read_event_log(const uint8_t* dump, size_t length) {
    std::vector<Event> events;
    for (size_t n = 0; length == EVENT_DUMP_SIZE && n < EVENT_RECORD_COUNT; ++n) {
        const uint8_t* bytes = dump + n * EVENT_RECORD_SIZE;
        if (is_empty_record(bytes))
            continue;
        EventRecord r = decode_event_record(bytes);
        events.push_back({n, r, is_valid_event_time(r.timestamp)});
    }
    return event_log_of(std::move(events));
}

EventLog make_event_log(const std::vector<EventRecord>& records) {
    std::vector<Event> events;
    events.reserve(records.size());
    for (size_t i = 0; i < records.size(); ++i)
        events.push_back({i, records[i], is_valid_event_time(records[i].timestamp)});
    return event_log_of(std::move(events));
}

std::pair<size_t, size_t> events_between(const EventLog& log, uint64_t from, uint64_t to) {
    auto begin = log.events.begin(), end = begin + static_cast<long>(log.valid_count);
    auto lo = std::lower_bound(begin, end, from,
                               [](const Event& e, uint64_t t) { return e.record.timestamp < t; });
    auto hi = std::upper_bound(lo, end, to,
                               [](uint64_t t, const Event& e) { return t < e.record.timestamp; });
    return {static_cast<size_t>(lo - begin), static_cast<size_t>(hi - begin)};
}
