// The simulated controller's own behaviour: which registers exist, what it refuses, its event
// memory, its framing and its faults. Its serving over a pseudo-terminal is exercised by the
// end-to-end link tests.
#include "device.h"
#include "wire.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes with_crc(Bytes frame) {
    sim::append_crc(frame);
    return frame;
}
Bytes read_request(uint16_t first, uint16_t count) {
    return with_crc(
        {1, 3, uint8_t(first >> 8), uint8_t(first), uint8_t(count >> 8), uint8_t(count)});
}
Bytes write_request(uint16_t first, std::vector<uint16_t> values) {
    auto n = static_cast<uint16_t>(values.size());
    Bytes f{
        1, 16, uint8_t(first >> 8), uint8_t(first), uint8_t(n >> 8), uint8_t(n), uint8_t(2 * n)};
    for (uint16_t v : values)
        f.insert(f.end(), {uint8_t(v >> 8), uint8_t(v)});
    return with_crc(f);
}
// The exception code of a reply, or 0 for a normal one.
int exception_code(const sim::Answer& a) {
    return a.kind == sim::Answer::exception ? a.bytes[2] : 0;
}

TEST(SimDevice, RegistersExistPerVariantRelaysAndOptions) {
    using sim::Variant;
    struct Case {
        Variant variant;
        int relays, options;
        uint16_t first, count;
        int code; // 0: normal reply
    } cases[] = {{Variant::full, 14, 2, 120, 14, 0},    {Variant::rtd, 14, 2, 120, 1, 2},
                 {Variant::rtd, 14, 2, 160, 14, 0},     {Variant::full, 14, 2, 200, 14, 0},
                 {Variant::rtd, 14, 2, 200, 5, 0},      {Variant::rtd, 14, 2, 204, 2, 2},
                 {Variant::full, 4, 2, 0, 4, 0},        {Variant::full, 4, 2, 0, 5, 2},
                 {Variant::full, 15, 2, 154, 1, 0},     {Variant::full, 0, 0, 0, 1, 2},
                 {Variant::full, 14, 0, 320, 3, 0},     {Variant::full, 14, 1, 320, 1, 2},
                 {Variant::full, 14, 1, 340, 8, 0},     {Variant::full, 14, 0, 347, 1, 2},
                 {Variant::full, 14, 2, 400, 6, 0},     {Variant::full, 14, 2, 400, 7, 2},
                 {Variant::full, 14, 2, 1023, 1, 2},    {Variant::full, 14, 2, 1024, 1, 2},
                 {Variant::full, 14, 2, 0xFFF8, 1, 0},  {Variant::full, 14, 2, 0xFFF0, 10, 2},
                 {Variant::full, 14, 0, 0xFFE0, 1, 2},  {Variant::full, 14, 2, 0, 0, 3},
                 {Variant::full, 14, 2, 0xFFF0, 126, 3}};
    for (const auto& c : cases) {
        sim::Device d({c.relays, c.options, c.variant});
        auto a = d.handle(read_request(c.first, c.count));
        EXPECT_EQ(exception_code(a), c.code) << c.first << "/" << c.count;
        if (c.code == 0) {
            EXPECT_EQ(a.bytes.size(), 5u + 2 * c.count);
        }
    }
    sim::Device odd({});
    odd.override_ident_word(0xFFC4);
    EXPECT_EQ(odd.handle(read_request(0xFFF0, 1)).bytes, with_crc({1, 3, 2, 0xFF, 0xC4}));
}

TEST(SimDevice, RefusedWritesStoreNothing) {
    sim::Device d({});
    struct Case {
        Bytes request;
        int code;
    } cases[] = {
        {write_request(400, {12, 60, 0}), 3},           // minute 60
        {write_request(403, {1, 13, 26}), 3},           // month 13
        {write_request(211, {24 * 60}), 3},             // start of daily cooling past midnight
        {write_request(13, {1, 2}), 2},                 // relay 15 of a 14-relay device
        {write_request(0xFFF0, {0}), 2},                // identification is read-only
        {with_crc({1, 16, 1, 0x2C, 0, 2, 2, 0, 1}), 3}, // byte count disagrees
    };
    for (const auto& c : cases) {
        auto before = d.handle(read_request(400, 6)).bytes;
        EXPECT_EQ(exception_code(d.handle(c.request)), c.code) << sim::hex_bytes(c.request);
        EXPECT_EQ(d.handle(read_request(400, 6)).bytes, before);
    }
    EXPECT_EQ(d.reg(12), 80);
    EXPECT_EQ(d.reg(13), 90);
}

TEST(SimDevice, DamagedOrForeignRequestsGetNoAnswer) {
    sim::Device d({});
    Bytes bad = read_request(0, 1);
    bad.back() ^= 1;
    for (const auto& req : {bad, with_crc({2, 3, 0, 0, 0, 1})}) {
        auto a = d.handle(req);
        EXPECT_EQ(a.kind, sim::Answer::silent);
        EXPECT_EQ(a.log, "? " + sim::hex_bytes(req));
    }
    auto f5 = d.handle(with_crc({1, 5, 0, 0, 0xFF, 0}));
    EXPECT_EQ(f5.bytes, with_crc({1, 0x85, 1}));
    EXPECT_EQ(f5.log.substr(0, 7), "? 01 05");
}

TEST(SimDevice, EventMemoryIsAPlausibleDeterministicImage) {
    sim::Device d({});
    auto a = d.handle(read_request(0xFFE0, 1));
    ASSERT_EQ(a.kind, sim::Answer::dump);
    ASSERT_EQ(a.bytes.size(), 0xFC00u);
    EXPECT_EQ(a.log, "R 65504 1");
    EXPECT_EQ(sim::Device({}).event_image(), a.bytes);

    uint64_t previous = 0;
    uint16_t switched_on = 0, switched_off = 0, last_relays = 0;
    for (size_t n = 0; n < sim::RECORD_COUNT; ++n) {
        const uint8_t* r = &a.bytes[n * sim::RECORD_SIZE];
        uint64_t ms = 0;
        for (int k = 5; k >= 0; --k)
            ms = ms << 8 | r[k];
        ASSERT_GT(ms, previous) << n;
        ASSERT_GT(ms, 1704067200000u); // after 2024
        ASSERT_LT(ms, 1830297600000u); // before 2028
        previous = ms;
        uint8_t oil = r[12];
        ASSERT_TRUE(oil > 5 && oil < 130) << n;
        for (int w = 13; w < 16; ++w)
            ASSERT_GE(r[w], oil) << n;
        uint16_t relays = static_cast<uint16_t>(r[16] | r[17] << 8);
        ASSERT_EQ(relays & ~0x3FFF, 0) << "only 14 relays";
        // Relay 1 follows the hottest winding around its set point (80 °C, 5 °C hysteresis).
        uint8_t hot = std::max({r[13], r[14], r[15]});
        ASSERT_TRUE(hot < 81 || (relays & 1)) << n;
        ASSERT_TRUE(hot >= 74 || !(relays & 1)) << n;
        switched_on |= relays & ~last_relays;
        switched_off |= last_relays & ~relays;
        last_relays = relays;
    }
    EXPECT_TRUE(switched_on & switched_off & 1) << "relay 1 should switch both ways";
}

TEST(SimFramer, CutsRequestsByLengthAndResynchronisesOnSilence) {
    sim::Framer f;
    Bytes stream = read_request(0, 1);
    Bytes write = write_request(300, {1, 2});
    stream.insert(stream.end(), write.begin(), write.end());
    std::vector<Bytes> frames;
    for (uint8_t b : stream)
        if (auto frame = f.push(b))
            frames.push_back(*frame);
    EXPECT_EQ(frames, (std::vector<Bytes>{read_request(0, 1), write}));
    EXPECT_FALSE(f.pending());

    // An unknown function has no known length: it ends with the silence, noise too.
    for (uint8_t b : Bytes{1, 5, 0, 0, 0xFF, 0, 0x8C, 0x3A})
        EXPECT_FALSE(f.push(b));
    EXPECT_EQ(f.silence().size(), 8u);
    for (size_t i = 0; i < 300; ++i)
        EXPECT_FALSE(f.push(0x55));
    EXPECT_EQ(f.silence().size(), sim::MAX_FRAME + 1);
    EXPECT_FALSE(f.pending());
}

TEST(SimFaults, EachFaultChangesTheWireAsNamed) {
    using sim::Fault;
    sim::Device d({});
    const auto read = d.handle(read_request(300, 2));
    const Bytes good = read.bytes; // 01 03 04 00 00 00 96 + CRC
    auto one = [&](Fault fault, const sim::Answer& a) {
        auto t = sim::transmit(a, fault);
        EXPECT_EQ(t.bursts.size(), 1u) << sim::fault_name(fault);
        return t.bursts.empty() ? Bytes{} : t.bursts[0];
    };
    const auto write = d.handle(write_request(300, {1, 2}));
    const std::pair<Fault, Bytes> exact[] = {
        {Fault::none, good},
        {Fault::exception, with_crc({1, 0x83, 4})},
        {Fault::short_reply, with_crc({1, 3, 4, 0, 0, 0})},
        {Fault::long_reply, with_crc({1, 3, 4, 0, 0, 0, 150, 0})},
        {Fault::wrong_slave, with_crc({2, 3, 4, 0, 0, 0, 150})},
        {Fault::wrong_count, with_crc({1, 3, 6, 0, 0, 0, 150})},
        {Fault::short_dump, good}, // a dump fault leaves a frame alone
    };
    for (const auto& [fault, bytes] : exact)
        EXPECT_EQ(one(fault, read), bytes) << sim::fault_name(fault);
    EXPECT_EQ(one(Fault::wrong_count, write), with_crc({1, 16, 1, 0x2C, 0, 3}));
    EXPECT_TRUE(sim::transmit(read, Fault::no_reply).bursts.empty());
    EXPECT_FALSE(sim::crc_ok(one(Fault::bad_crc, read)));
    Bytes stray = one(Fault::stray_byte, read);
    EXPECT_EQ(Bytes(stray.begin(), stray.end() - 1), good);
    EXPECT_NE(stray.back(), 0);
    Bytes function = one(Fault::wrong_function, read);
    EXPECT_TRUE(sim::crc_ok(function));
    EXPECT_NE(function[1], 3);

    auto split = sim::transmit(read, Fault::split);
    ASSERT_EQ(split.bursts.size(), 2u);
    Bytes joined = split.bursts[0];
    joined.insert(joined.end(), split.bursts[1].begin(), split.bursts[1].end());
    EXPECT_EQ(joined, good);
    auto hangup = sim::transmit(read, Fault::hangup);
    EXPECT_TRUE(hangup.hangup);
    EXPECT_LT(hangup.bursts.at(0).size(), good.size());

    auto dump = d.handle(read_request(0xFFE0, 1));
    EXPECT_EQ(one(Fault::short_dump, dump).size(), 0xFBFFu);
    EXPECT_EQ(one(Fault::long_dump, dump).size(), 0xFC01u);
    EXPECT_EQ(one(Fault::bad_crc, dump), dump.bytes);
}

} // namespace
