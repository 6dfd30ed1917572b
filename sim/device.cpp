#include "device.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>

namespace sim {

uint16_t crc16(std::span<const uint8_t> bytes) {
    uint16_t crc = 0xFFFF;
    for (uint8_t b : bytes) {
        crc ^= b;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001)
                            : static_cast<uint16_t>(crc >> 1);
    }
    return crc;
}

void append_crc(std::vector<uint8_t>& frame) {
    uint16_t crc = crc16(frame);
    frame.push_back(static_cast<uint8_t>(crc & 0xFF));
    frame.push_back(static_cast<uint8_t>(crc >> 8));
}

bool crc_ok(std::span<const uint8_t> frame) {
    if (frame.size() < 4)
        return false;
    uint16_t crc = crc16(frame.first(frame.size() - 2));
    return frame[frame.size() - 2] == (crc & 0xFF) && frame[frame.size() - 1] == (crc >> 8);
}

std::string hex_bytes(std::span<const uint8_t> bytes) {
    std::string out;
    char buf[4];
    for (uint8_t b : bytes) {
        std::snprintf(buf, sizeof buf, "%s%02x", out.empty() ? "" : " ", b);
        out += buf;
    }
    return out;
}

namespace {

// Relay blocks are 20 addresses apart; the RTD-only variant lacks the two current blocks.
constexpr std::array<uint16_t, 9> FULL_RELAY_BASES{0, 20, 40, 60, 80, 100, 120, 140, 160};
constexpr std::array<uint16_t, 7> RTD_RELAY_BASES{0, 20, 40, 60, 80, 100, 160};

uint16_t be16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}
void put16(std::vector<uint8_t>& out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v >> 8));
    out.push_back(static_cast<uint8_t>(v & 0xFF));
}

Answer exception_answer(uint8_t slave, uint8_t function, uint8_t code) {
    Answer a;
    a.kind = Answer::exception;
    a.bytes = {slave, static_cast<uint8_t>(function | 0x80), code};
    append_crc(a.bytes);
    return a;
}

// A small deterministic generator (xorshift64*), so the event image is the same on every host.
class Random {
  public:
    explicit Random(uint64_t seed) : state_(seed) {}
    double uniform() { // [0, 1)
        state_ ^= state_ >> 12;
        state_ ^= state_ << 25;
        state_ ^= state_ >> 27;
        return static_cast<double>((state_ * 0x2545F4914F6CDD1DULL) >> 11) / 9007199254740992.0;
    }

  private:
    uint64_t state_;
};

uint8_t reading(double celsius) {
    return static_cast<uint8_t>(std::clamp(std::lround(celsius), 0L, 255L));
}

} // namespace

std::vector<uint8_t> make_event_image(int relays, std::span<const uint16_t> set_points,
                                      std::span<const uint16_t> hysteresis) {
    std::vector<uint8_t> image;
    image.reserve(DUMP_SIZE);
    Random rnd(0x6B656C767261ULL);
    uint64_t ms = 1735689600000ULL; // 2025-01-01 00:00:00
    double oil = 35.0;
    double day_load = 0.7;
    uint16_t relay_word = 0;
    constexpr double PI = 3.14159265358979323846;
    for (size_t n = 0; n < RECORD_COUNT; ++n) {
        // A record every ten minutes or so, as the event timer writes them.
        ms += 600000 + static_cast<uint64_t>(rnd.uniform() * 2000.0);
        double hour = static_cast<double>(ms / 1000 % 86400) / 3600.0;
        if (hour < 0.2)
            day_load = 0.6 + 0.5 * rnd.uniform(); // some days are heavier than others
        double ambient = 18.0 + 6.0 * std::sin(2 * PI * (hour - 9.0) / 24.0);
        double load = std::max(0.1, day_load + 0.35 * std::sin(2 * PI * (hour - 8.0) / 24.0) +
                                        0.05 * (rnd.uniform() - 0.5));
        // The oil follows the load with a lag of hours; the windings sit above it.
        double oil_target = ambient + 55.0 * std::pow(load, 1.6);
        oil += (oil_target - oil) * (1.0 - std::exp(-10.0 / 180.0));
        std::array<double, 3> winding;
        for (int k = 0; k < 3; ++k)
            winding[k] = oil + 20.0 * std::pow(load, 1.3) * (1.0 + 0.04 * k);
        double hot = *std::max_element(winding.begin(), winding.end());
        for (int r = 0; r < std::min(relays, 16); ++r) {
            size_t i = static_cast<size_t>(r);
            double on = i < set_points.size() ? set_points[i] : 255.0;
            double off = on - (i < hysteresis.size() ? hysteresis[i] : 0.0);
            uint16_t bit = static_cast<uint16_t>(1u << r);
            if (hot >= on)
                relay_word |= bit;
            else if (hot < off)
                relay_word &= static_cast<uint16_t>(~bit);
        }
        for (int k = 0; k < 6; ++k)
            image.push_back(static_cast<uint8_t>(ms >> (8 * k)));
        image.push_back(reading(oil + 1.5)); // top oil
        image.push_back(reading(oil - 9.0)); // bottom oil
        image.push_back(reading(ambient));   // ambient
        image.push_back(reading(oil - 3.0)); // tap changer
        image.push_back(0);                  // RTD 5 and 6 not fitted
        image.push_back(0);
        image.push_back(reading(oil));
        for (double w : winding)
            image.push_back(reading(w));
        image.push_back(static_cast<uint8_t>(relay_word & 0xFF));
        image.push_back(static_cast<uint8_t>(relay_word >> 8));
    }
    return image;
}

Device::Device(const DeviceConfig& config) : config_(config) {
    bool full = config.variant == Variant::full;
    for (int i = 0; i < 20; ++i) {
        auto r = static_cast<size_t>(i);
        registers_[0 + r] = static_cast<uint16_t>(80 + 10 * (i % 4)); // set point, °C
        registers_[20 + r] = 5;                                       // hysteresis, °C
        registers_[40 + r] = 100;                                     // timeout, tenths of s
        registers_[60 + r] = static_cast<uint16_t>(i % 2);            // associated channel
        registers_[80 + r] = 0;                                       // forced activation: off
        registers_[100 + r] = 0;                                      // activation logic
        if (full) {
            registers_[120 + r] = static_cast<uint16_t>(100 + 10 * (i % 3)); // set point, I%
            registers_[140 + r] = 5;
        }
        registers_[160 + r] = 0; // associated function
    }
    if (full) {
        const uint16_t general[14] = {0, 20, 25, 30, 50, 50, 50, 0, 70, 8, 0, 120, 30, 10};
        std::copy(std::begin(general), std::end(general), registers_.begin() + 200);
    } else {
        const uint16_t general[5] = {0, 6, 0, 120, 30};
        std::copy(std::begin(general), std::end(general), registers_.begin() + 200);
    }
    registers_[300] = 0;   // current loop scale
    registers_[301] = 150; // full scale
    registers_[320] = 0;   // MODBUS port: first baud rate, first format, address 1
    registers_[321] = 0;
    registers_[322] = 1;
    const uint16_t dnp3[8] = {0, 0, 10, 0, 50, 100, 100, 0};
    std::copy(std::begin(dnp3), std::end(dnp3), registers_.begin() + 340);

    std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    registers_[400] = static_cast<uint16_t>(tm.tm_hour);
    registers_[401] = static_cast<uint16_t>(tm.tm_min);
    registers_[402] = static_cast<uint16_t>(tm.tm_sec);
    registers_[403] = static_cast<uint16_t>(tm.tm_mday);
    registers_[404] = static_cast<uint16_t>(tm.tm_mon + 1);
    registers_[405] = static_cast<uint16_t>(tm.tm_year + 1900 - 2000);

    int relays = std::clamp(config.relays, 0, 15);
    events_ = make_event_image(relays, std::span(registers_).subspan(0, 16),
                               std::span(registers_).subspan(20, 16));
    size_t written = std::min(config.event_records, RECORD_COUNT);
    std::fill(events_.begin() + static_cast<long>(written * RECORD_SIZE), events_.end(), 0xFF);
}

std::array<uint16_t, IDENT_WORDS> Device::identification() const {
    uint16_t word = static_cast<uint16_t>(config_.relays & 0x0F);
    if (config_.options & 1)
        word |= 0x10;
    if (config_.options & 2)
        word |= 0x20;
    if (ident_word_)
        word = *ident_word_;
    // The rest: firmware version, variant code, serial number, hardware revision.
    return {word,   0x0105, static_cast<uint16_t>(config_.variant == Variant::full ? 1 : 0),
            0x0012, 0xD687, 3,
            0,      0,      0};
}

bool Device::has_register(uint16_t a) const {
    bool full = config_.variant == Variant::full;
    auto in = [a](int first, int count) { return a >= first && a < first + count; };
    std::span<const uint16_t> bases = full ? std::span<const uint16_t>(FULL_RELAY_BASES)
                                           : std::span<const uint16_t>(RTD_RELAY_BASES);
    for (uint16_t base : bases)
        if (in(base, config_.relays))
            return true;
    if (in(200, full ? 14 : 5) || in(300, 2) || in(400, 6))
        return true;
    return (config_.options & 1) ? in(340, 8) : in(320, 3);
}

bool Device::range_exists(uint32_t first, uint32_t count) const {
    for (uint32_t a = first; a < first + count; ++a)
        if (a >= REGISTER_COUNT || !has_register(static_cast<uint16_t>(a)))
            return false;
    return true;
}

bool Device::value_allowed(uint16_t address, uint16_t value) const {
    uint16_t cooling_start = config_.variant == Variant::full ? 211 : 203;
    switch (address) {
    case 400:
        return value <= 23;
    case 401:
    case 402:
        return value <= 59;
    case 403:
        return value >= 1 && value <= 31;
    case 404:
        return value >= 1 && value <= 12;
    case 405:
        return value <= 99;
    default:
        return address != cooling_start || value < 24 * 60;
    }
}

Answer Device::read(uint16_t first, uint16_t count) {
    Answer a;
    if (first == DUMP_ADDRESS && count == 1 && (config_.options & 2)) {
        a.kind = Answer::dump;
        a.bytes = events_;
        return a;
    }
    // MODBUS: a quantity outside 1..125 is an illegal data value.
    if (count < 1 || count > 125)
        return exception_answer(config_.slave, 3, ILLEGAL_DATA_VALUE);
    std::vector<uint16_t> values;
    uint32_t end = static_cast<uint32_t>(first) + count;
    if (first >= IDENT_ADDRESS && end <= IDENT_ADDRESS + IDENT_WORDS) {
        auto ident = identification();
        values.assign(ident.begin() + (first - IDENT_ADDRESS),
                      ident.begin() + (first - IDENT_ADDRESS + count));
    } else if (range_exists(first, count)) {
        values.assign(registers_.begin() + first, registers_.begin() + end);
    } else {
        return exception_answer(config_.slave, 3, ILLEGAL_DATA_ADDRESS);
    }
    a.kind = Answer::normal;
    a.bytes = {config_.slave, 3, static_cast<uint8_t>(2 * count)};
    for (uint16_t v : values)
        put16(a.bytes, v);
    append_crc(a.bytes);
    return a;
}

Answer Device::write(uint16_t first, uint16_t count, std::span<const uint8_t> data) {
    if (count < 1 || count > 123 || data.size() != 2u * count)
        return exception_answer(config_.slave, 16, ILLEGAL_DATA_VALUE);
    if (!range_exists(first, count))
        return exception_answer(config_.slave, 16, ILLEGAL_DATA_ADDRESS);
    for (uint16_t k = 0; k < count; ++k)
        if (!value_allowed(static_cast<uint16_t>(first + k), be16(&data[2u * k])))
            return exception_answer(config_.slave, 16, ILLEGAL_DATA_VALUE);
    // All or nothing: nothing is stored when any value is refused.
    for (uint16_t k = 0; k < count; ++k) {
        uint16_t address = static_cast<uint16_t>(first + k), value = be16(&data[2u * k]);
        for (auto [clamped, limit] : config_.clamps)
            if (clamped == address)
                value = std::min(value, limit);
        registers_[address] = value;
    }
    Answer a;
    a.kind = Answer::normal;
    a.bytes = {config_.slave, 16};
    put16(a.bytes, first);
    put16(a.bytes, count);
    append_crc(a.bytes);
    return a;
}

Answer Device::handle(std::span<const uint8_t> frame) {
    Answer a;
    bool understood = frame.size() >= 4 && crc_ok(frame) && frame[0] == config_.slave;
    uint8_t function = frame.size() >= 2 ? frame[1] : 0;
    if (understood && function == 3 && frame.size() == 8) {
        uint16_t first = be16(&frame[2]);
        uint16_t count = be16(&frame[4]);
        a = read(first, count);
        a.log = "R " + std::to_string(first) + " " + std::to_string(count);
        a.first = first;
    } else if (understood && function == 16 && frame.size() >= 9 && frame.size() == 9u + frame[6] &&
               frame[6] == 2u * be16(&frame[4])) {
        uint16_t first = be16(&frame[2]);
        uint16_t count = be16(&frame[4]);
        auto data = frame.subspan(7, frame[6]);
        a = write(first, count, data);
        a.log = "W " + std::to_string(first) + " " + std::to_string(count);
        // Two appends: GCC 12 at -O3 takes `" " + std::to_string(...)` for an overlapping copy
        // (-Wrestrict, a false positive) and fails the Release build.
        for (uint16_t k = 0; k < count; ++k) {
            a.log += ' ';
            a.log += std::to_string(be16(&data[2u * k]));
        }
        a.first = first;
    } else {
        // Damaged frames and other slaves' requests get no answer; a well-formed request
        // for us that we cannot serve gets the matching exception.
        if (understood && function != 3 && function != 16)
            a = exception_answer(config_.slave, function, ILLEGAL_FUNCTION);
        else if (understood && function == 16)
            a = exception_answer(config_.slave, function, ILLEGAL_DATA_VALUE);
        a.log = "? " + hex_bytes(frame);
    }
    a.function = function;
    return a;
}

} // namespace sim
