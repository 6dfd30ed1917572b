#include "formats/eventcsv.h"

#include <gtest/gtest.h>
#include <sstream>
#include <vector>

namespace {

std::string cells(const char* cell, int n) {
    std::string s;
    for (int i = 0; i < n; ++i)
        s += std::string(i ? "," : "") + cell;
    return s;
}

} // namespace

// The simulator's whole event memory is the export's golden file (in the command-line tests);
// here, the records it never holds.
TEST(EventCsv, RecordLines) {
    const std::string zero = "00:00:00.00 01/01/226,";
    const std::pair<const char*, std::string> cases[] = {
        {"94 07 61 0a 20 01 2d 2e 2f 00 00 00 26 34 00 00 05 00",
         "13:45:12.34 15/03/09,45,46,47,0,0,0,38,52,0,0,Closed,Open,Closed," + cells("Open", 13)},
        {"00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00",
         zero + cells("0", 10) + "," + cells("Open", 16)},
        {"ff ff ff ff ff ff ff ff ff ff ff ff ff ff ff ff ff ff",
         "16:54:30.65 13/12/42," + cells("255", 10) + "," + cells("Closed", 16)},
        // Each reading in its own column; relay 9 is the low bit of the second byte, relays 15
        // and 16 its top bits.
        {"00 00 00 00 00 00 01 02 03 04 05 06 07 08 09 0a 00 c1",
         zero + "1,2,3,4,5,6,7,8,9,10," + cells("Open", 8) + ",Closed," + cells("Open", 5) +
             ",Closed,Closed"},
        // 999 ms are 99 hundredths, not rounded up; the fifth byte counts.
        {"e7 e3 a6 9a dd 00 00 00 00 00 00 00 00 00 00 00 00 00",
         "00:00:00.99 29/02/00," + cells("0", 10) + "," + cells("Open", 16)},
    };
    for (const auto& [record, line] : cases) {
        std::vector<uint8_t> b;
        std::istringstream in(record);
        for (unsigned byte; in >> std::hex >> byte;)
            b.push_back(static_cast<uint8_t>(byte));
        ASSERT_EQ(b.size(), EVENT_RECORD_SIZE);
        EXPECT_EQ(event_csv_line(decode_event_record(b.data())), line + "\n") << record;
    }
}

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
