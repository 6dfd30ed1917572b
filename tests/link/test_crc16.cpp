#include "link/crc16.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// The CRC bit by bit (reflected polynomial 0xA001), independent of the code's tables.
uint16_t bitwise(const Bytes& data) {
    uint16_t crc = 0xFFFF;
    for (uint8_t b : data) {
        crc ^= b;
        for (int k = 0; k < 8; ++k)
            crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
    }
    return crc;
}

uint16_t running(const Bytes& data) {
    uint16_t crc = 0xFFFF;
    for (uint8_t b : data)
        crc = crc16_modbus_1(crc, b);
    return crc;
}

TEST(Crc16, KnownVectors) {
    const std::pair<std::string, uint16_t> cases[] = {
        {"123456789", 0x4B37}, {"", 0xFFFF}, {"abc", 0x5749}, {{1, 3, 0, 0, 0, 1}, 0x0A84}};
    for (const auto& [text, crc] : cases) {
        Bytes b(text.begin(), text.end());
        EXPECT_EQ(crc16_modbus(b.data(), b.size()), crc) << text;
        EXPECT_EQ(running(b), crc) << text;
    }
}

// Every table entry is reached by the single bytes; the frame with its CRC, low byte first,
// closes to zero.
TEST(Crc16, AgreesWithTheBitwiseCrcAndClosesFrames) {
    for (int b = 0; b < 256; ++b)
        ASSERT_EQ(crc16_modbus_1(0xFFFF, uint8_t(b)), bitwise({uint8_t(b)})) << b;
    Bytes data;
    for (int n = 0; n <= 300; ++n) {
        uint16_t whole = crc16_modbus(data.data(), data.size());
        ASSERT_EQ(whole, bitwise(data)) << "length " << n;
        ASSERT_EQ(running(data), whole) << "length " << n;
        Bytes framed = data;
        framed.insert(framed.end(), {uint8_t(whole & 0xFF), uint8_t(whole >> 8)});
        ASSERT_EQ(running(framed), 0) << "length " << n;
        data.push_back(static_cast<uint8_t>(n * 37 + 11));
    }
}

} // namespace
