#include "formats/eventcsv.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <sstream>
#include <vector>

namespace {

std::vector<uint8_t> bytes(const char* hex) {
    std::vector<uint8_t> out;
    std::istringstream in(hex);
    for (unsigned b; in >> std::hex >> b;)
        out.push_back(static_cast<uint8_t>(b));
    return out;
}

std::string cells(const char* cell, int n) {
    std::string s;
    for (int i = 0; i < n; ++i)
        s += std::string(i ? "," : "") + cell;
    return s;
}

const std::string ZERO_TIME = "00:00:00.00 01/01/226,";

} // namespace

TEST(EventCsv, HeaderAndRecordLines) {
    EXPECT_EQ(event_csv_header(),
              "HH:MM:SS.CC DD/MM/YY,RTD1,RTD2,RTD3,RTD4,RTD5,RTD6,Oil,Wdg. 1,Wdg. 2,Wdg. 3,"
              "Relay 1,Relay 2,Relay 3,Relay 4,Relay 5,Relay 6,Relay 7,Relay 8,Relay 9,Relay 10,"
              "Relay 11,Relay 12,Relay 13,Relay 14,Relay 15,Relay 16\n");
    const std::pair<const char*, std::string> cases[] = {
        {"94 07 61 0a 20 01 2d 2e 2f 00 00 00 26 34 00 00 05 00",
         "13:45:12.34 15/03/09,45,46,47,0,0,0,38,52,0,0,Closed,Open,Closed," + cells("Open", 13)},
        {"00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00",
         ZERO_TIME + cells("0", 10) + "," + cells("Open", 16)},
        {"ff ff ff ff ff ff ff ff ff ff ff ff ff ff ff ff ff ff",
         "16:54:30.65 13/12/42," + cells("255", 10) + "," + cells("Closed", 16)},
        // Each reading in its own column; relays 15 and 16 are the top bits of the word.
        {"00 00 00 00 00 00 01 02 03 04 05 06 07 08 09 0a 00 c0",
         ZERO_TIME + "1,2,3,4,5,6,7,8,9,10," + cells("Open", 14) + ",Closed,Closed"},
        {"00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 01",
         ZERO_TIME + cells("0", 10) + "," + cells("Open", 8) + ",Closed," + cells("Open", 7)},
        // 999 ms are 99 hundredths, not rounded up; the sixth byte is the most significant.
        {"e7 03 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00",
         "00:00:00.99 01/01/226," + cells("0", 10) + "," + cells("Open", 16)},
        {"00 e0 a6 9a dd 00 00 00 00 00 00 00 00 00 00 00 00 00",
         "00:00:00.00 29/02/00," + cells("0", 10) + "," + cells("Open", 16)},
    };
    for (const auto& [record, line] : cases) {
        std::vector<uint8_t> b = bytes(record);
        ASSERT_EQ(b.size(), EVENT_RECORD_SIZE);
        EXPECT_EQ(event_csv_line(decode_event_record(b.data())), line + "\n") << record;
    }
}

// The whole dump in order is the export's golden file; here, what must not be written.
TEST(EventCsv, WrongLengthOrFailedWrite) {
    std::vector<uint8_t> dump(EVENT_DUMP_SIZE + 1);
    FILE* f = tmpfile();
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(write_event_csv(f, dump.data(), EVENT_DUMP_SIZE - 1), 0);
    EXPECT_EQ(write_event_csv(f, dump.data(), EVENT_DUMP_SIZE + 1), 0);
    EXPECT_EQ(ftell(f), 0) << "nothing is written for a dump of the wrong length";
    fclose(f);
    // /dev/full takes a buffer's worth and fails at the first flush, well before the end.
    FILE* full = fopen("/dev/full", "w");
    ASSERT_NE(full, nullptr);
    EXPECT_EQ(write_event_csv(full, dump.data(), EVENT_DUMP_SIZE), 0);
    fclose(full);
}
