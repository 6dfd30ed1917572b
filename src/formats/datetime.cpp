#include "formats/datetime.h"

const std::array<int32_t, 12> DAYS_BEFORE_MONTH{0,   31,  59,  90,  120, 151,
                                                181, 212, 243, 273, 304, 334};
const std::array<int32_t, 2> year_lengths{365, 366};
const std::array<std::array<int32_t, 12>, 2> mon_lengths{{
    {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31},
    {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31},
}};

bool is_leap_year(int year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int month_length(int month0, int year) {
    return mon_lengths[is_leap_year(year)][month0];
}

EventTime* pcf8583_gmtime(EventTime* t, uint64_t milliseconds) {
    auto seconds = static_cast<uint32_t>(milliseconds / 1000);
    t->hundredths = static_cast<uint8_t>(milliseconds % 1000 / 10);

    uint32_t days = seconds / 86400;
    uint32_t rest = seconds % 86400;
    t->hours = static_cast<uint8_t>(rest / 3600);
    rest %= 3600;
    t->minutes = static_cast<uint8_t>(rest / 60);
    t->seconds = static_cast<uint8_t>(rest % 60);
    t->weekday = static_cast<uint8_t>((days + 4) % 7); // 1970-01-01 was a Thursday

    int year = 1970;
    while (days >= static_cast<uint32_t>(year_lengths[is_leap_year(year)])) {
        days -= year_lengths[is_leap_year(year)];
        ++year;
    }
    t->year = static_cast<uint8_t>(year + 48); // the low 8 bits of year - 2000

    const auto& lengths = mon_lengths[is_leap_year(year)];
    int month = 0;
    while (days >= static_cast<uint32_t>(lengths[month])) {
        days -= lengths[month];
        ++month;
    }
    t->month = static_cast<uint8_t>(month + 1);
    t->day = static_cast<uint8_t>(days + 1);
    return t;
}

uint64_t pcf8583_mktime(const EventTime* t) {
    if (t->month < 1 || t->month > 12 || t->day < 1 || t->day > 31)
        return 0;
    int year = 2000 + t->year;
    uint64_t days = DAYS_BEFORE_MONTH[t->month - 1] + t->day - 1;
    if (t->month > 2 && is_leap_year(year))
        ++days;
    for (int y = 1970; y < year; ++y)
        days += year_lengths[is_leap_year(y)];
    return t->hundredths * 10ULL + t->seconds * 1000ULL + t->minutes * 60000ULL +
           t->hours * 3600000ULL + days * 86400000ULL;
}

Civil civil_from_days(int64_t z) {
    z += 719468;
    int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    int64_t doe = z - era * 146097;
    int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    int64_t mp = (5 * doy + 2) / 153;
    int day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    int month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    return {yoe + era * 400 + (month <= 2), month, day};
}

int64_t days_from_civil(int64_t y, int m, int d) {
    y -= m <= 2;
    int64_t era = (y >= 0 ? y : y - 399) / 400;
    int64_t yoe = y - era * 400;
    int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}
