#include "support.h"

TEST(Clock, TwoDigitFields) {
    std::tm t{};
    t.tm_hour = 9;
    t.tm_min = 5;
    t.tm_sec = 3;
    EXPECT_EQ(clock_text(t), "09:05:03");
    t.tm_hour = 21;
    t.tm_min = 0;
    t.tm_sec = 0;
    EXPECT_EQ(clock_text(t), "21:00:00");
}
