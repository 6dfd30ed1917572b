#include "link/crc16.h"

#include <array>

namespace {

// The byte-wise table of the reflected polynomial, split in two as MODBUS over Serial Line
// publishes it: its auchCRCHi holds the low bytes, its auchCRCLo the high bytes.
constexpr std::array<uint16_t, 256> make_table() {
    std::array<uint16_t, 256> table{};
    for (unsigned i = 0; i < 256; ++i) {
        uint16_t c = static_cast<uint16_t>(i);
        for (int bit = 0; bit < 8; ++bit)
            c = (c & 1) ? static_cast<uint16_t>((c >> 1) ^ 0xA001) : static_cast<uint16_t>(c >> 1);
        table[i] = c;
    }
    return table;
}

constexpr auto TABLE = make_table();

constexpr std::array<uint8_t, 256> split(bool high) {
    std::array<uint8_t, 256> out{};
    for (unsigned i = 0; i < 256; ++i)
        out[i] = static_cast<uint8_t>(high ? TABLE[i] >> 8 : TABLE[i] & 0xFF);
    return out;
}

} // namespace

// Exposed to the tests, which compare them with the published tables.
extern const std::array<uint8_t, 256> CRCHi_table;
extern const std::array<uint8_t, 256> CRCLo_table;
constexpr std::array<uint8_t, 256> CRCHi_table = split(false);
constexpr std::array<uint8_t, 256> CRCLo_table = split(true);

uint16_t crc16_modbus(const uint8_t* data, size_t length) {
    uint8_t low = 0xFF;
    uint8_t high = 0xFF;
    for (size_t i = 0; i < length; ++i) {
        uint8_t index = low ^ data[i];
        low = CRCHi_table[index] ^ high;
        high = CRCLo_table[index];
    }
    return static_cast<uint16_t>(high << 8 | low);
}

uint16_t crc16_modbus_1(uint16_t crc, uint8_t byte) {
    uint8_t index = static_cast<uint8_t>((crc & 0xFF) ^ byte);
    return static_cast<uint16_t>(CRCLo_table[index] << 8 | ((crc >> 8) ^ CRCHi_table[index]));
}
