#include "formats/datetime.h"

#include <cstring>
#include <ctime>
#include <gtest/gtest.h>

namespace {

// Whether the device's view of an instant is the C library's.
bool as_the_library(uint64_t ms) {
    std::time_t seconds = static_cast<std::time_t>(ms / 1000);
    std::tm tm{};
    gmtime_r(&seconds, &tm);
    EventTime t{}, library{uint8_t(ms % 1000 / 10),   uint8_t(tm.tm_sec),  uint8_t(tm.tm_min),
                           uint8_t(tm.tm_hour),       uint8_t(tm.tm_mday), uint8_t(tm.tm_mon + 1),
                           uint8_t(tm.tm_year - 100), uint8_t(tm.tm_wday)};
    return pcf8583_gmtime(&t, ms) == &t && std::memcmp(&t, &library, sizeof t) == 0;
}

uint64_t library_ms(int year, int month, int day) {
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    return static_cast<uint64_t>(timegm(&tm)) * 1000;
}

} // namespace

TEST(DateTime, GmtimeAgreesWithTheLibraryFrom1970To2105AndMktimeInvertsIt) {
    // A step that is no multiple of a day, an hour or a minute visits every field value.
    for (uint64_t ms = 0; ms < library_ms(2106, 1, 1); ms += 7919ULL * 3037 + 17) {
        ASSERT_TRUE(as_the_library(ms)) << ms;
        EventTime t{}; // mktime takes years from 2000 only
        ASSERT_TRUE(ms < library_ms(2000, 1, 1) ||
                    pcf8583_mktime(pcf8583_gmtime(&t, ms)) == ms / 10 * 10)
            << ms;
    }
    for (int year = 1970; year <= 2105; ++year)
        for (int month = 1; month <= 12; ++month) {
            uint64_t first = library_ms(year, month, 1);
            ASSERT_TRUE(as_the_library(first) && (first == 0 || as_the_library(first - 10)))
                << year << "-" << month;
        }
    // The device's seconds count has 32 bits: after its last second comes 1970 again.
    EXPECT_TRUE(as_the_library(4294967295999ULL));
    EventTime t{}, again{};
    pcf8583_gmtime(&t, 4294967296000ULL + 1234);
    EXPECT_EQ(std::memcmp(&t, pcf8583_gmtime(&again, 1234), sizeof t), 0);
    // The month indexes a table: outside 1 to 12 (or a day outside 1 to 31) is no date.
    for (auto [month, day] : {std::pair{0, 1}, {13, 1}, {255, 1}, {1, 0}, {12, 32}}) {
        EventTime bad{0, 0, 0, 0, static_cast<uint8_t>(day), static_cast<uint8_t>(month), 9, 0};
        EXPECT_EQ(pcf8583_mktime(&bad), 0u) << month << "/" << day;
    }
}
