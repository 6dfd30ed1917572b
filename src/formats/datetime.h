// Event times of the controller's clock: milliseconds since 1970-01-01 00:00:00 of the device's
// own clock (no time zone, no daylight saving), split into the fields of the PCF8583 clock chip.
#pragma once

#include <array>
#include <cstdint>

struct EventTime {
    uint8_t hundredths; // 0 to 99
    uint8_t seconds;    // 0 to 59
    uint8_t minutes;    // 0 to 59
    uint8_t hours;      // 0 to 23
    uint8_t day;        // day of the month, 1 to 31
    uint8_t month;      // 1 to 12
    uint8_t year;       // year - 2000, modulo 256 (1970 is 226)
    uint8_t weekday;    // 0 Sunday to 6 Saturday
};

// Days before each month of a common year.
extern const std::array<int32_t, 12> DAYS_BEFORE_MONTH;
// Indexed by the leap flag.
extern const std::array<int32_t, 2> year_lengths;
extern const std::array<std::array<int32_t, 12>, 2> mon_lengths;

bool is_leap_year(int year);
// Days of a month (`month0` 0 for January) of a year.
int month_length(int month0, int year);

// Fills `t` from a millisecond count and returns it. Whole seconds are taken modulo 2^32, as
// the device's clock does, so the result is meaningful up to 2106-02-07.
EventTime* pcf8583_gmtime(EventTime* t, uint64_t milliseconds);

// Milliseconds since 1970 of a time in the years 2000 to 2255 (the year field counts from
// 2000); the weekday is not read. A month outside 1 to 12 or a day outside 1 to 31 is no date:
// the result is then 0.
uint64_t pcf8583_mktime(const EventTime* t);

// Calendar dates of the controller's clock for any span (proleptic Gregorian, no zone), from and
// to days since 1970-01-01.
struct Civil {
    int64_t year;
    int month, day; // 1-based
};
Civil civil_from_days(int64_t days);
int64_t days_from_civil(int64_t year, int month, int day);
