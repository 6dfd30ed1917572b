#include "formats/datetime.h"

#include <cstring>
#include <ctime>
#include <gtest/gtest.h>

namespace {

// The C library's view of an instant, as an EventTime.
EventTime library_time(uint64_t ms) {
    std::time_t seconds = static_cast<std::time_t>(ms / 1000);
    std::tm tm{};
    gmtime_r(&seconds, &tm);
    return {static_cast<uint8_t>(ms % 1000 / 10),   static_cast<uint8_t>(tm.tm_sec),
            static_cast<uint8_t>(tm.tm_min),        static_cast<uint8_t>(tm.tm_hour),
            static_cast<uint8_t>(tm.tm_mday),       static_cast<uint8_t>(tm.tm_mon + 1),
            static_cast<uint8_t>(tm.tm_year - 100), static_cast<uint8_t>(tm.tm_wday)};
}

uint64_t library_ms(int year, int month, int day) {
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    return static_cast<uint64_t>(timegm(&tm)) * 1000;
}

bool same(const EventTime& a, const EventTime& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

} // namespace

TEST(DateTime, GmtimeAgreesWithTheLibraryFrom1970To2105) {
    auto check = [](uint64_t ms) {
        EventTime t{};
        return same(*pcf8583_gmtime(&t, ms), library_time(ms));
    };
    // A step that is no multiple of a day, an hour or a minute visits every field value.
    for (uint64_t ms = 0; ms < library_ms(2106, 1, 1); ms += 7919ULL * 3037 + 17)
        ASSERT_TRUE(check(ms)) << ms;
    // The device's seconds count has 32 bits: after its last second comes 1970 again.
    EXPECT_TRUE(check(4294967295999ULL));
    EventTime t{};
    EXPECT_EQ(pcf8583_gmtime(&t, 4294967296000ULL + 1234), &t);
    EXPECT_TRUE(same(t, library_time(1234)));
    for (int year = 1970; year <= 2105; ++year)
        for (int month = 1; month <= 12; ++month) {
            uint64_t first = library_ms(year, month, 1);
            ASSERT_TRUE(check(first)) << year << "-" << month;
            ASSERT_TRUE(first == 0 || check(first - 10)) << year << "-" << month;
        }
}

TEST(DateTime, MktimeInvertsGmtimeFrom2000) {
    for (uint64_t ms = library_ms(2000, 1, 1); ms < library_ms(2106, 1, 1);
         ms += 86400000ULL * 3 + 3600000ULL * 5 + 61010) {
        EventTime t{};
        ASSERT_EQ(pcf8583_mktime(pcf8583_gmtime(&t, ms)), ms / 10 * 10);
    }
    // The month indexes a table: outside 1 to 12 (or a day outside 1 to 31) is no date.
    for (auto [month, day] : {std::pair{0, 1}, {13, 1}, {255, 1}, {1, 0}, {12, 32}}) {
        EventTime t{0, 0, 0, 0, static_cast<uint8_t>(day), static_cast<uint8_t>(month), 9, 0};
        EXPECT_EQ(pcf8583_mktime(&t), 0u) << month << "/" << day;
    }
}
