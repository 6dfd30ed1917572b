#include "eventcsv.h"

#include <algorithm>

#include <gtest/gtest.h>
#include <sstream>
#include <vector>

namespace {

std::vector<uint8_t> bytes(const char* hex) {
    std::vector<uint8_t> out;
    std::istringstream in(hex);
    unsigned b;
    while (in >> std::hex >> b)
        out.push_back(static_cast<uint8_t>(b));
    return out;
}

std::string relays(const char* first, int open_after) {
    std::string s = first;
    for (int i = 0; i < open_after; ++i)
        s += ",Open";
    return s + "\n";
}

std::string repeat(const char* cell, int n) {
    std::string s;
    for (int i = 0; i < n; ++i)
        s += std::string(i ? "," : "") + cell;
    return s;
}

} // namespace

TEST(EventCsv, Header) {
    EXPECT_EQ(event_csv_header(),
              "HH:MM:SS.CC DD/MM/YY,RTD1,RTD2,RTD3,RTD4,RTD5,RTD6,Oil,Wdg. 1,Wdg. 2,Wdg. 3,"
              "Relay 1,Relay 2,Relay 3,Relay 4,Relay 5,Relay 6,Relay 7,Relay 8,Relay 9,Relay 10,"
              "Relay 11,Relay 12,Relay 13,Relay 14,Relay 15,Relay 16\n");
}

TEST(EventCsv, RecordsDecodeByteByByte) {
    struct Case {
        const char* record;
        std::string line;
    };
    const Case cases[] = {
        {"94 07 61 0a 20 01 2d 2e 2f 00 00 00 26 34 00 00 05 00",
         "13:45:12.34 15/03/09,45,46,47,0,0,0,38,52,0,0," + relays("Closed,Open,Closed", 13)},
        {"00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00",
         "00:00:00.00 01/01/226,0,0,0,0,0,0,0,0,0,0," + repeat("Open", 16) + "\n"},
        {"ff ff ff ff ff ff ff ff ff ff ff ff ff ff ff ff ff ff",
         "16:54:30.65 13/12/42," + repeat("255", 10) + "," + repeat("Closed", 16) + "\n"},
        // Each reading in its own column; relays 15 and 16 are the top bits of the word.
        {"00 00 00 00 00 00 01 02 03 04 05 06 07 08 09 0a 00 c0",
         "00:00:00.00 01/01/226,1,2,3,4,5,6,7,8,9,10," + repeat("Open", 14) + ",Closed,Closed\n"},
        // The high byte of the relay word is the second one.
        {"00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 01",
         "00:00:00.00 01/01/226,0,0,0,0,0,0,0,0,0,0," + repeat("Open", 8) + ",Closed," +
             repeat("Open", 7) + "\n"},
        // 999 ms are 99 hundredths, not rounded up; bytes 4 and 5 carry the high part.
        {"e7 03 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00",
         "00:00:00.99 01/01/226,0,0,0,0,0,0,0,0,0,0," + repeat("Open", 16) + "\n"},
        {"00 e0 a6 9a dd 00 00 00 00 00 00 00 00 00 00 00 00 00",
         "00:00:00.00 29/02/00,0,0,0,0,0,0,0,0,0,0," + repeat("Open", 16) + "\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.record);
        std::vector<uint8_t> b = bytes(c.record);
        ASSERT_EQ(b.size(), EVENT_RECORD_SIZE);
        EXPECT_EQ(event_csv_line(decode_event_record(b.data())), c.line);
    }
}

TEST(EventCsv, RecordsNeedNoAlignment) {
    std::vector<uint8_t> b = bytes("00 94 07 61 0a 20 01 2d 2e 2f 00 00 00 26 34 00 00 05 00");
    EventRecord r = decode_event_record(b.data() + 1);
    EXPECT_EQ(r.timestamp, 1237124712340ULL);
    EXPECT_EQ(r.readings[7], 52);
    EXPECT_EQ(r.relays, 5);
}

TEST(EventCsv, WholeDumpEveryRecordInOrder) {
    std::vector<uint8_t> dump(EVENT_DUMP_SIZE);
    for (size_t n = 0; n < EVENT_RECORD_COUNT; ++n) {
        dump[n * EVENT_RECORD_SIZE + 6] = static_cast<uint8_t>(n);      // RTD1: low byte of n
        dump[n * EVENT_RECORD_SIZE + 7] = static_cast<uint8_t>(n >> 8); // RTD2: high byte
    }
    FILE* f = tmpfile();
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(write_event_csv(f, dump.data(), dump.size()), 1);
    rewind(f);
    char line[512];
    ASSERT_TRUE(fgets(line, sizeof line, f));
    EXPECT_EQ(line, event_csv_header());
    size_t n = 0;
    while (fgets(line, sizeof line, f)) {
        std::string s = line;
        EXPECT_EQ(std::count(s.begin(), s.end(), ','), 26) << n;
        std::string expected = "00:00:00.00 01/01/226," + std::to_string(n & 0xFF) + "," +
                               std::to_string(n >> 8) + ",";
        EXPECT_EQ(s.substr(0, expected.size()), expected);
        ++n;
    }
    EXPECT_EQ(n, EVENT_RECORD_COUNT);
    fclose(f);
}

TEST(EventCsv, RefusesAPartialDumpAndReportsWriteErrors) {
    std::vector<uint8_t> dump(EVENT_DUMP_SIZE + EVENT_RECORD_SIZE);
    FILE* f = tmpfile();
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(write_event_csv(f, dump.data(), EVENT_DUMP_SIZE - EVENT_RECORD_SIZE), 0);
    EXPECT_EQ(write_event_csv(f, dump.data(), dump.size()), 0);
    EXPECT_EQ(ftell(f), 0) << "nothing is written for a dump of the wrong length";
    fclose(f);

    // /dev/full takes the buffer's worth and fails at the first flush, well before the end.
    FILE* full = fopen("/dev/full", "w");
    ASSERT_NE(full, nullptr);
    EXPECT_EQ(write_event_csv(full, dump.data(), EVENT_DUMP_SIZE), 0);
    fclose(full);
}
