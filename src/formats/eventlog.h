// The event memory as a log of events: the records of a dump that hold one, in time order, for
// the viewer, its table and its plot. Free of the toolkit and of the link.
#pragma once

#include "formats/eventcsv.h"

#include <cstdint>
#include <utility>
#include <vector>

struct Event {
    size_t index;       // record number in the dump
    EventRecord record; // as decoded
    bool valid;         // false: a time stamp the controller's clock cannot have
};

struct EventLog {
    // Valid events in time order (the dump's order among equal times), then the invalid ones in
    // the dump's order. Erased records (all bytes 0xFF) and blank ones (all 0) are left out.
    std::vector<Event> events;
    size_t valid_count = 0;
    uint16_t channels = 0; // bit i: reading i is above 0 in some valid event (a fitted input)
    uint64_t first = 0;    // time of the first and the last valid event
    uint64_t last = 0;
};

// Whether a time stamp is one the controller's clock can give: after 1970 and before its
// 32-bit seconds wrap in 2106.
bool is_valid_event_time(uint64_t milliseconds);

// The valid events from `from` to `to`, both included, as the indexes [first, last).
std::pair<size_t, size_t> events_between(const EventLog& log, uint64_t from, uint64_t to);

// The log of a whole dump; empty when `length` is not a whole dump.
EventLog read_event_log(const uint8_t* dump, size_t length);
// The log of records from anywhere (a merged history); an event's index is its place in the list.
EventLog make_event_log(const std::vector<EventRecord>& records);
