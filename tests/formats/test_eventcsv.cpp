// The event records as the export writes them, and the device clock's calendar beneath them.
#include "formats/datetime.h"
#include "formats/eventcsv.h"

#include <cstring>
#include <ctime>
#include <gtest/gtest.h>
#include <sstream>
#include <tuple>
#include <vector>

namespace {

std::string cells(const char* cell, int n) {
    std::string s;
    for (int i = 0; i < n; ++i)
        s += std::string(i ? "," : "") + cell;
    return s;
}

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

TEST(DateTime, GmtimeAgreesWithTheLibraryFrom1970To2105AndMktimeInvertsIt) {
    // A step that is no multiple of a day, an hour or a minute visits every field value, and
    // every day: the first and last of each month among them.
    const uint64_t y2000 = 946684800000, y2106 = 4291747200000; // 1 January, 00:00
    for (uint64_t ms = 0; ms < y2106; ms += 7919ULL * 3037 + 17) {
        ASSERT_TRUE(as_the_library(ms)) << ms;
        EventTime t{}; // mktime takes years from 2000 only
        ASSERT_TRUE(ms < y2000 || pcf8583_mktime(pcf8583_gmtime(&t, ms)) == ms / 10 * 10) << ms;
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

// The layout that explains itself, read back, merged with a later download, and the export's
// layout read as the same records.
TEST(EventCsv, IsoLayoutReadsBackAndMergesEachRecordOnce) {
    auto record = [](uint64_t ms, uint8_t oil, uint16_t relays) {
        std::vector<uint8_t> b(EVENT_RECORD_SIZE, 0);
        for (int i = 0; i < 6; ++i)
            b[i] = uint8_t(ms >> (8 * i));
        b[12] = oil;
        b[16] = uint8_t(relays);
        b[17] = uint8_t(relays >> 8);
        return b;
    };
    auto dump_of = [](std::vector<std::vector<uint8_t>> records) {
        std::vector<uint8_t> dump(EVENT_DUMP_SIZE, 0xFF);
        for (size_t i = 0; i < records.size(); ++i)
            std::memcpy(&dump[i * EVENT_RECORD_SIZE], records[i].data(), EVENT_RECORD_SIZE);
        return dump;
    };
    const uint64_t a = 1237124712345, b = a + 60000, c = a + 120000; // 2009-03-15 13:45:12.345
    std::vector<uint8_t> first =
        dump_of({record(b, 41, 0x8001), std::vector<uint8_t>(18, 0), record(a, 38, 0x0005)});
    std::vector<EventRecord> got = dump_records(first.data(), first.size());
    ASSERT_EQ(got.size(), 2u); // the blank and the erased records hold no event

    EventFileHeader h{"kelvra-cli 9", "site12", "FT1", "kelvra", 14, 60, b, a, 2};
    std::string text = event_iso_text(h, got);
    EXPECT_NE(text.find("\n# time zone: UTC+01:00\n"), std::string::npos) << text;
    EXPECT_NE(text.find(",Wdg. 3,Relay 1,"), std::string::npos);
    EXPECT_NE(text.find(",Relay 14\n2009-03-15T13:46:12.345+01:00,0,0,0,0,0,0,41,0,0,0,Closed," +
                        cells("Open", 13) + "\n2009-03-15T13:45:12.345+01:00,"),
              std::string::npos)
        << text; // relay 16 is not one of the 14
    EXPECT_EQ(iso_event_time(0, -330), "1970-01-01T00:00:00.000-05:30");

    EventFileHeader back;
    std::vector<EventRecord> kept;
    std::string error;
    ASSERT_TRUE(read_event_file(text, &back, &kept, &error)) << error;
    EXPECT_EQ(std::tie(back.tool, back.asset, back.serial, back.variant, back.relays,
                       back.utc_offset_minutes, back.latest_from, back.latest_to,
                       back.latest_count),
              std::tie(h.tool, h.asset, h.serial, h.variant, h.relays, h.utc_offset_minutes,
                       h.latest_from, h.latest_to, h.latest_count));

    // A later download holds b again (relay 16 is not told apart) and a new record c.
    std::vector<uint8_t> second = dump_of({record(c, 50, 0), record(b, 41, 0x0001)});
    std::vector<EventRecord> merged =
        merge_event_records(kept, dump_records(second.data(), second.size()), 14);
    ASSERT_EQ(merged.size(), 3u);
    EXPECT_EQ(
        std::vector<uint64_t>({merged[0].timestamp, merged[1].timestamp, merged[2].timestamp}),
        std::vector<uint64_t>({a, b, c}));
    EXPECT_EQ(merged[1].relays, 1);

    // The export's layout, with its erased records, reads as the same events at its precision.
    char* bytes = nullptr;
    size_t size = 0;
    FILE* f = open_memstream(&bytes, &size);
    ASSERT_EQ(write_event_csv(f, first.data(), first.size()), 1);
    std::fclose(f);
    std::vector<EventRecord> exported;
    ASSERT_TRUE(read_event_file(std::string(bytes, size), &back, &exported, &error)) << error;
    std::free(bytes);
    ASSERT_EQ(exported.size(), 2u);
    EXPECT_EQ(exported[1].timestamp, a - 5);
    EXPECT_EQ(exported[0].relays, 0x8001);

    const std::pair<std::string, const char*> faults[] = {
        {"# x\nTime,RTD1\n", "line 2: not a column row"},
        {"Time" + text.substr(text.find(",RTD1")).substr(0, 200) + ",1\n", "line 2: a row with"},
        {text + "2009-13-15T13:45:12.345+01:00,0,0,0,0,0,0,0,0,0,0" + "," + cells("Open", 14) +
             "\n",
         "line 12: a time"},
        {text + "2009-03-15T13:45:12+01:00,0,0,0,0,0,0,256,0,0,0" + "," + cells("Open", 14) + "\n",
         "line 12: a reading"},
        {"# only\n", "line 1: no column row"}};
    for (const auto& [input, why] : faults) {
        EXPECT_FALSE(read_event_file(input, &back, &exported, &error)) << why;
        EXPECT_EQ(error.rfind(why, 0), 0u) << error;
    }
}
