// The simulated controller's own behaviour: which registers exist, what it refuses, the end of
// a request that has no length, and its faults. Its serving over a pseudo-terminal, the event
// memory included, is exercised by the end-to-end link tests.
#include "device.h"
#include "wire.h"

#include <gtest/gtest.h>

namespace {

using Bytes = std::vector<uint8_t>;

const auto with_crc = [](Bytes frame) { return sim::append_crc(frame), frame; };
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
    const Variant full = Variant::full, rtd = Variant::rtd;
    // The device's variant, relays and options, the registers read, the exception (0: none).
    const std::tuple<Variant, int, int, uint16_t, uint16_t, int> cases[] = {
        {full, 14, 2, 120, 14, 0},   {rtd, 14, 2, 120, 1, 2},      {rtd, 14, 2, 160, 14, 0},
        {full, 14, 2, 200, 14, 0},   {rtd, 14, 2, 200, 5, 0},      {rtd, 14, 2, 204, 2, 2},
        {full, 4, 2, 0, 4, 0},       {full, 4, 2, 0, 5, 2},        {full, 15, 2, 154, 1, 0},
        {full, 0, 0, 0, 1, 2},       {full, 14, 0, 320, 3, 0},     {full, 14, 1, 320, 1, 2},
        {full, 14, 1, 340, 8, 0},    {full, 14, 0, 347, 1, 2},     {full, 14, 2, 400, 6, 0},
        {full, 14, 2, 400, 7, 2},    {full, 14, 2, 1023, 1, 2},    {full, 14, 2, 1024, 1, 2},
        {full, 14, 2, 0xFFF8, 1, 0}, {full, 14, 2, 0xFFF0, 10, 2}, {full, 14, 0, 0xFFE0, 1, 2},
        {full, 14, 2, 0, 0, 3},      {full, 14, 2, 0xFFF0, 126, 3}};
    for (auto [variant, relays, options, first, count, code] : cases) {
        auto a = sim::Device({relays, options, variant}).handle(read_request(first, count));
        EXPECT_EQ(exception_code(a), code) << first << "/" << count;
        EXPECT_EQ(a.bytes.size(), code ? 5u : 5u + 2 * count) << first << "/" << count;
    }
    sim::Device odd({});
    odd.override_ident_word(0xFFC4);
    EXPECT_EQ(odd.handle(read_request(0xFFF0, 1)).bytes, with_crc({1, 3, 2, 0xFF, 0xC4}));
}

// Refused writes store nothing; damaged requests and those for another slave get no answer, an
// unknown function its exception.
TEST(SimDevice, RefusedAndUnderstoodRequests) {
    sim::Device d({});
    const std::pair<Bytes, int> cases[] = {
        {write_request(400, {12, 60, 0}), 3},           // minute 60
        {write_request(403, {1, 13, 26}), 3},           // month 13
        {write_request(211, {24 * 60}), 3},             // start of daily cooling past midnight
        {write_request(13, {1, 2}), 2},                 // relay 15 of a 14-relay device
        {write_request(0xFFF0, {0}), 2},                // identification is read-only
        {with_crc({1, 16, 1, 0x2C, 0, 2, 2, 0, 1}), 3}, // byte count disagrees
    };
    for (const auto& [request, code] : cases) {
        auto before = d.handle(read_request(400, 6)).bytes;
        EXPECT_EQ(exception_code(d.handle(request)), code) << sim::hex_bytes(request);
        EXPECT_EQ(d.handle(read_request(400, 6)).bytes, before);
    }
    EXPECT_EQ(std::pair(d.reg(12), d.reg(13)), (std::pair<uint16_t, uint16_t>(80, 90)));

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

// Reads and writes are cut by their length over the link end to end; here, what has none.
TEST(SimFramer, UnknownFunctionsAndNoiseEndWithTheSilence) {
    sim::Framer f;
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
    const auto read = d.handle(read_request(300, 2)), write = d.handle(write_request(300, {1, 2}));
    const Bytes good = with_crc({1, 3, 4, 0, 0, 0, 150});
    Bytes bad_crc = good, stray = good;
    bad_crc.back() ^= 0x5A;
    stray.push_back(0xA5);
    const std::tuple<Fault, const sim::Answer&, std::vector<Bytes>> cases[] = {
        {Fault::none, read, {good}},
        {Fault::no_reply, read, {}},
        {Fault::bad_crc, read, {bad_crc}},
        {Fault::stray_byte, read, {stray}},
        {Fault::exception, read, {with_crc({1, 0x83, 4})}},
        {Fault::short_reply, read, {with_crc({1, 3, 4, 0, 0, 0})}},
        {Fault::long_reply, read, {with_crc({1, 3, 4, 0, 0, 0, 150, 0})}},
        {Fault::wrong_slave, read, {with_crc({2, 3, 4, 0, 0, 0, 150})}},
        {Fault::wrong_function, read, {with_crc({1, 4, 4, 0, 0, 0, 150})}},
        {Fault::wrong_count, read, {with_crc({1, 3, 6, 0, 0, 0, 150})}},
        {Fault::wrong_count, write, {with_crc({1, 16, 1, 0x2C, 0, 3})}},
        {Fault::split,
         read,
         {Bytes(good.begin(), good.begin() + 4), Bytes(good.begin() + 4, good.end())}},
        {Fault::hangup, read, {Bytes(good.begin(), good.begin() + 4)}},
        {Fault::short_dump, read, {good}}, // a dump fault leaves a frame alone
    };
    for (const auto& [fault, answer, bursts] : cases) {
        auto t = sim::transmit(answer, fault);
        EXPECT_EQ(t.bursts, bursts) << sim::fault_name(fault);
        EXPECT_EQ(t.hangup, fault == Fault::hangup) << sim::fault_name(fault);
    }
    // The dump faults change the dump; a frame fault leaves it alone.
    auto dump = d.handle(read_request(0xFFE0, 1));
    EXPECT_EQ(sim::transmit(dump, Fault::short_dump).bursts.at(0).size(), 0xFBFFu);
    EXPECT_EQ(sim::transmit(dump, Fault::long_dump).bursts.at(0).size(), 0xFC01u);
    EXPECT_EQ(sim::transmit(dump, Fault::bad_crc).bursts.at(0), dump.bytes);
}

} // namespace
