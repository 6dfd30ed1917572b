#include "datetime.h"

#include <cstring>
#include <ctime>
#include <gtest/gtest.h>

namespace {

// The same instant as the C library sees it, in UTC.
std::tm library_time(uint64_t ms) {
    std::time_t seconds = static_cast<std::time_t>(ms / 1000);
    std::tm tm{};
    gmtime_r(&seconds, &tm);
    return tm;
}

void expect_same(const EventTime& t, uint64_t ms) {
    std::tm tm = library_time(ms);
    SCOPED_TRACE(ms);
    EXPECT_EQ(t.hundredths, ms % 1000 / 10);
    EXPECT_EQ(t.seconds, tm.tm_sec);
    EXPECT_EQ(t.minutes, tm.tm_min);
    EXPECT_EQ(t.hours, tm.tm_hour);
    EXPECT_EQ(t.day, tm.tm_mday);
    EXPECT_EQ(t.month, tm.tm_mon + 1);
    EXPECT_EQ(t.year, static_cast<uint8_t>(tm.tm_year + 1900 - 2000));
    EXPECT_EQ(t.weekday, tm.tm_wday);
}

uint64_t library_ms(int year, int month, int day, int h, int m, int s) {
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = h;
    tm.tm_min = m;
    tm.tm_sec = s;
    return static_cast<uint64_t>(timegm(&tm)) * 1000;
}

} // namespace

TEST(DateTime, TablesAgree) {
    int before = 0;
    for (int m = 0; m < 12; ++m) {
        EXPECT_EQ(DAYS_BEFORE_MONTH[m], before);
        before += mon_lengths[0][m];
        EXPECT_EQ(mon_lengths[1][m] - mon_lengths[0][m], m == 1 ? 1 : 0);
    }
    EXPECT_EQ(before, year_lengths[0]);
    EXPECT_EQ(year_lengths[1], year_lengths[0] + 1);
}

TEST(DateTime, KnownInstants) {
    struct Case {
        uint64_t ms;
        EventTime t; // hundredths, s, min, h, day, month, year field, weekday
    };
    const Case cases[] = {
        {0, {0, 0, 0, 0, 1, 1, 226, 4}},
        {951782400000ULL, {0, 0, 0, 0, 29, 2, 0, 2}},
        {4107542400000ULL, {0, 0, 0, 0, 1, 3, 100, 1}},
        {1236347112345ULL, {34, 12, 45, 13, 6, 3, 9, 5}},
        // The last second the 32-bit count of seconds holds.
        {4294967295999ULL, {99, 15, 28, 6, 7, 2, 106, 0}},
        // Seconds beyond it wrap, as on the device.
        {4294967296000ULL, {0, 0, 0, 0, 1, 1, 226, 4}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.ms);
        EventTime t{};
        EXPECT_EQ(pcf8583_gmtime(&t, c.ms), &t);
        EXPECT_EQ(std::memcmp(&t, &c.t, sizeof t), 0)
            << int(t.hours) << ":" << int(t.minutes) << ":" << int(t.seconds) << "."
            << int(t.hundredths) << " " << int(t.day) << "/" << int(t.month) << "/" << int(t.year)
            << " wd " << int(t.weekday);
    }
}

TEST(DateTime, GmtimeMatchesLibraryFrom1970To2105) {
    // A step that is no multiple of a day, an hour or a minute visits every field value.
    const uint64_t end = library_ms(2106, 1, 1, 0, 0, 0);
    for (uint64_t ms = 0; ms < end; ms += 7919ULL * 3037 + 17) {
        EventTime t{};
        pcf8583_gmtime(&t, ms);
        expect_same(t, ms);
        if (HasFailure())
            return;
    }
}

TEST(DateTime, YearAndMonthBoundaries) {
    for (int year = 1970; year <= 2105; ++year) {
        for (int month = 1; month <= 12; ++month) {
            uint64_t first = library_ms(year, month, 1, 0, 0, 0);
            EventTime t{};
            expect_same(*pcf8583_gmtime(&t, first), first);
            if (first > 0)
                expect_same(*pcf8583_gmtime(&t, first - 10), first - 10);
            if (HasFailure())
                return;
        }
    }
}

TEST(DateTime, MktimeInvertsGmtimeFrom2000) {
    for (uint64_t ms = library_ms(2000, 1, 1, 0, 0, 0); ms < library_ms(2106, 1, 1, 0, 0, 0);
         ms += 86400000ULL * 3 + 3600000ULL * 5 + 61010) {
        EventTime t{};
        pcf8583_gmtime(&t, ms);
        ASSERT_EQ(pcf8583_mktime(&t), ms / 10 * 10);
    }
    for (int year : {2000, 2004, 2099, 2100, 2104, 2105}) {
        for (int month = 1; month <= 12; ++month) {
            EventTime t{
                0, 0, 0, 0, 1, static_cast<uint8_t>(month), static_cast<uint8_t>(year - 2000), 0};
            ASSERT_EQ(pcf8583_mktime(&t), library_ms(year, month, 1, 0, 0, 0)) << year;
        }
    }
}

TEST(DateTime, MktimeRefusesDatesOutsideItsTable) {
    for (auto [month, day] : {std::pair{0, 1}, {13, 1}, {255, 1}, {1, 0}, {12, 32}}) {
        EventTime t{0, 0, 0, 0, static_cast<uint8_t>(day), static_cast<uint8_t>(month), 9, 0};
        EXPECT_EQ(pcf8583_mktime(&t), 0u) << month << "/" << day;
    }
}
