#include "crc16.h"

#include <array>
#include <gtest/gtest.h>
#include <string>
#include <vector>

extern const std::array<uint8_t, 256> CRCHi_table;
extern const std::array<uint8_t, 256> CRCLo_table;

namespace {

uint16_t crc_of(const std::string& s) {
    return crc16_modbus(reinterpret_cast<const uint8_t*>(s.data()), s.size());
}

uint16_t running_crc(const std::vector<uint8_t>& bytes) {
    uint16_t crc = 0xFFFF;
    for (uint8_t b : bytes)
        crc = crc16_modbus_1(crc, b);
    return crc;
}

TEST(Crc16, KnownVectors) {
    struct Case {
        std::string input;
        uint16_t crc;
    } cases[] = {{"123456789", 0x4B37}, {"", 0xFFFF}, {"abc", 0x5749}};
    for (const auto& c : cases) {
        EXPECT_EQ(crc_of(c.input), c.crc) << '"' << c.input << '"';
        EXPECT_EQ(running_crc({c.input.begin(), c.input.end()}), c.crc) << '"' << c.input << '"';
    }
}

TEST(Crc16, RequestGoesOnTheWireLowByteFirst) {
    const std::vector<uint8_t> request{0x01, 0x03, 0x00, 0x00, 0x00, 0x01};
    uint16_t crc = crc16_modbus(request.data(), request.size());
    EXPECT_EQ(crc & 0xFF, 0x84);
    EXPECT_EQ(crc >> 8, 0x0A);
}

TEST(Crc16, RunningCrcAgreesAndAFrameWithItsCrcClosesToZero) {
    // Every length from 0 to 300 over a pattern that reaches every byte value.
    std::vector<uint8_t> data;
    for (int n = 0; n <= 300; ++n) {
        uint16_t whole = crc16_modbus(data.data(), data.size());
        ASSERT_EQ(running_crc(data), whole) << "length " << n;
        auto framed = data;
        framed.push_back(static_cast<uint8_t>(whole & 0xFF));
        framed.push_back(static_cast<uint8_t>(whole >> 8));
        ASSERT_EQ(running_crc(framed), 0) << "length " << n;
        data.push_back(static_cast<uint8_t>(n * 37 + 11));
    }
}

// auchCRCHi and auchCRCLo as published in the MODBUS over serial line specification.
TEST(Crc16, TablesMatchThePublishedOnes) {
    const uint8_t hi_first[16] = {0x00, 0xC1, 0x81, 0x40, 0x01, 0xC0, 0x80, 0x41,
                                  0x01, 0xC0, 0x80, 0x41, 0x00, 0xC1, 0x81, 0x40};
    const uint8_t hi_last[8] = {0x01, 0xC0, 0x80, 0x41, 0x00, 0xC1, 0x81, 0x40};
    const uint8_t lo_first[16] = {0x00, 0xC0, 0xC1, 0x01, 0xC3, 0x03, 0x02, 0xC2,
                                  0xC6, 0x06, 0x07, 0xC7, 0x05, 0xC5, 0xC4, 0x04};
    const uint8_t lo_last[8] = {0x82, 0x42, 0x43, 0x83, 0x41, 0x81, 0x80, 0x40};
    for (int i = 0; i < 16; ++i) {
        EXPECT_EQ(CRCHi_table[i], hi_first[i]) << i;
        EXPECT_EQ(CRCLo_table[i], lo_first[i]) << i;
    }
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(CRCHi_table[248 + i], hi_last[i]) << 248 + i;
        EXPECT_EQ(CRCLo_table[248 + i], lo_last[i]) << 248 + i;
    }
}

// A CRC table is linear (the entry of a XOR b is the XOR of the entries) and its entry for
// the top bit alone is the reflected polynomial.
TEST(Crc16, TablesAreTheTableOfTheReflectedPolynomial) {
    auto entry = [](unsigned i) { return uint16_t(CRCLo_table[i] << 8 | CRCHi_table[i]); };
    EXPECT_EQ(entry(0x80), 0xA001);
    for (unsigned a = 0; a < 256; ++a)
        for (unsigned b = 0; b < 256; ++b)
            ASSERT_EQ(entry(a ^ b), entry(a) ^ entry(b)) << a << " " << b;
}

} // namespace
