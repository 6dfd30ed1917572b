// The simulated controller: its replies as bytes, its event memory, its framing and faults, and
// the kelvra-sim program seen through a raw pty client.
#include "device.h"
#include "sim_harness.h"
#include "wire.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

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

TEST(SimDevice, CrcMatchesPublishedVectors) {
    const Bytes digits{'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(sim::crc16(digits), 0x4B37);
    EXPECT_EQ(with_crc({1, 3, 0, 0, 0, 1}), (Bytes{1, 3, 0, 0, 0, 1, 0x84, 0x0A}));
}

TEST(SimDevice, ReadAndWriteRepliesOnTheWire) {
    sim::Device d({});
    EXPECT_EQ(d.handle(read_request(300, 2)).bytes, with_crc({1, 3, 4, 0, 0, 0, 150}));
    auto w = d.handle(write_request(300, {1, 2}));
    EXPECT_EQ(w.bytes, (Bytes{1, 0x10, 0x01, 0x2C, 0, 2, 0x81, 0xFD}));
    EXPECT_EQ(w.log, "W 300 2 1 2");
    auto r = d.handle(read_request(300, 2));
    EXPECT_EQ(r.bytes, with_crc({1, 3, 4, 0, 1, 0, 2}));
    EXPECT_EQ(r.log, "R 300 2");
    auto e = d.handle(read_request(500, 1));
    EXPECT_EQ(e.bytes, (Bytes{1, 0x83, 2, 0xC0, 0xF1}));
}

TEST(SimDevice, IdentificationWordCarriesRelaysAndOptions) {
    struct Case {
        int relays, options;
        uint16_t word;
    };
    for (auto c : {Case{14, 2, 0x2E}, Case{4, 1, 0x14}, Case{15, 3, 0x3F}, Case{0, 0, 0}}) {
        sim::Device d({c.relays, c.options, sim::Variant::full});
        auto a = d.handle(read_request(0xFFF0, 9));
        ASSERT_EQ(a.bytes.size(), 23u);
        EXPECT_EQ(a.bytes[3] << 8 | a.bytes[4], c.word) << c.relays << "/" << c.options;
        EXPECT_EQ(a.log, "R 65520 9");
    }
    sim::Device odd({});
    odd.override_ident_word(0xFFC4);
    auto a = odd.handle(read_request(0xFFF0, 1));
    EXPECT_EQ(a.bytes, with_crc({1, 3, 2, 0xFF, 0xC4}));
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
    Bytes other = with_crc({2, 3, 0, 0, 0, 1});
    for (const auto& req : {bad, other}) {
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
        if (hot >= 81) {
            ASSERT_TRUE(relays & 1) << n;
        }
        if (hot < 74) {
            ASSERT_FALSE(relays & 1) << n;
        }
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
    const auto read = d.handle(read_request(300, 2)); // 01 03 04 00 00 00 96 + CRC
    const Bytes good = read.bytes;
    auto one = [&](Fault fault) {
        auto t = sim::transmit(read, fault);
        EXPECT_EQ(t.bursts.size(), 1u) << sim::fault_name(fault);
        return t.bursts.empty() ? Bytes{} : t.bursts[0];
    };
    EXPECT_EQ(one(Fault::none), good);
    EXPECT_TRUE(sim::transmit(read, Fault::no_reply).bursts.empty());
    EXPECT_FALSE(sim::crc_ok(one(Fault::bad_crc)));
    Bytes stray = one(Fault::stray_byte);
    EXPECT_EQ(Bytes(stray.begin(), stray.end() - 1), good);
    EXPECT_NE(stray.back(), 0);
    EXPECT_EQ(one(Fault::exception), with_crc({1, 0x83, 4}));
    EXPECT_EQ(one(Fault::short_reply), with_crc({1, 3, 4, 0, 0, 0}));
    EXPECT_EQ(one(Fault::long_reply), with_crc({1, 3, 4, 0, 0, 0, 150, 0}));
    EXPECT_EQ(one(Fault::wrong_slave), with_crc({2, 3, 4, 0, 0, 0, 150}));
    Bytes function = one(Fault::wrong_function);
    EXPECT_TRUE(sim::crc_ok(function));
    EXPECT_NE(function[1], 3);
    EXPECT_EQ(one(Fault::wrong_count), with_crc({1, 3, 6, 0, 0, 0, 150}));
    EXPECT_EQ(one(Fault::short_dump), good) << "a dump fault leaves a frame alone";

    auto split = sim::transmit(read, Fault::split);
    ASSERT_EQ(split.bursts.size(), 2u);
    Bytes joined = split.bursts[0];
    joined.insert(joined.end(), split.bursts[1].begin(), split.bursts[1].end());
    EXPECT_EQ(joined, good);
    auto hangup = sim::transmit(read, Fault::hangup);
    EXPECT_TRUE(hangup.hangup);
    EXPECT_LT(hangup.bursts.at(0).size(), good.size());

    auto write = d.handle(write_request(300, {1, 2}));
    EXPECT_EQ(sim::transmit(write, Fault::wrong_count).bursts.at(0),
              with_crc({1, 16, 1, 0x2C, 0, 3}));
    auto dump = d.handle(read_request(0xFFE0, 1));
    EXPECT_EQ(sim::transmit(dump, Fault::short_dump).bursts.at(0).size(), 0xFBFFu);
    EXPECT_EQ(sim::transmit(dump, Fault::long_dump).bursts.at(0).size(), 0xFC01u);
    EXPECT_EQ(sim::transmit(dump, Fault::bad_crc).bursts.at(0), dump.bytes);
}

TEST(SimFaults, PlanHitsTheTargetedAddressTheGivenNumberOfTimes) {
    sim::Device d({});
    auto ident = d.handle(read_request(0xFFF0, 9));
    auto block = d.handle(read_request(300, 2));
    sim::FaultPlan plan(sim::Fault::no_reply, uint16_t{300}, 2);
    EXPECT_EQ(plan.take(ident), sim::Fault::none);
    EXPECT_EQ(plan.take(block), sim::Fault::no_reply);
    EXPECT_EQ(plan.take(block), sim::Fault::no_reply);
    EXPECT_EQ(plan.take(block), sim::Fault::none);
    // A dump fault is not used up by register requests.
    sim::FaultPlan dump_plan(sim::Fault::short_dump, std::nullopt, 1);
    EXPECT_EQ(dump_plan.take(block), sim::Fault::none);
    EXPECT_EQ(dump_plan.take(d.handle(read_request(0xFFE0, 1))), sim::Fault::short_dump);
}

// A client of the pseudo-terminal with nothing of the tool's link code in it.
class RawPort {
  public:
    explicit RawPort(const std::string& path) : fd_(open(path.c_str(), O_RDWR | O_NOCTTY)) {
        termios tio{};
        if (fd_ >= 0 && tcgetattr(fd_, &tio) == 0) {
            cfmakeraw(&tio);
            tcsetattr(fd_, TCSANOW, &tio);
        }
    }
    ~RawPort() {
        if (fd_ >= 0)
            close(fd_);
    }
    bool ok() const { return fd_ >= 0; }
    void send(const Bytes& b) { ASSERT_EQ(write(fd_, b.data(), b.size()), ssize_t(b.size())); }
    // Everything that comes until the line has been quiet for quiet_ms (or it hangs up).
    Bytes receive(int quiet_ms = 300) {
        Bytes out;
        uint8_t buf[4096];
        pollfd p{fd_, POLLIN, 0};
        while (poll(&p, 1, quiet_ms) > 0) {
            ssize_t n = read(fd_, buf, sizeof buf);
            if (n <= 0)
                break;
            out.insert(out.end(), buf, buf + n);
        }
        return out;
    }

  private:
    int fd_;
};

TEST(SimProgram, ServesLogsAndKeepsRegistersAcrossReconnects) {
    test::SimHarness sim({"--baud", "0"});
    ASSERT_TRUE(sim.started());
    {
        RawPort port(sim.port());
        ASSERT_TRUE(port.ok());
        port.send(read_request(0xFFF0, 9));
        EXPECT_EQ(port.receive().size(), 23u);
        port.send(write_request(300, {1, 2}));
        EXPECT_EQ(port.receive(), (Bytes{1, 0x10, 0x01, 0x2C, 0, 2, 0x81, 0xFD}));
        // Noise, then silence: the next request is understood again.
        port.send({0x01, 0x07, 0x33});
        ASSERT_TRUE(sim.wait_for_log_lines(3));
    }
    RawPort again(sim.port());
    again.send(read_request(300, 2));
    EXPECT_EQ(again.receive(), with_crc({1, 3, 4, 0, 1, 0, 2}));
    ASSERT_TRUE(sim.wait_for_log_lines(4));
    EXPECT_EQ(sim.log(),
              (std::vector<std::string>{"R 65520 9", "W 300 2 1 2", "? 01 07 33", "R 300 2"}));
    sim.clear_log();
    EXPECT_TRUE(sim.log().empty());
}

TEST(SimProgram, PacedDumpAndStrayByteArriveWhole) {
    test::SimHarness sim({"--fault", "stray-byte", "--fault-address", "300"});
    ASSERT_TRUE(sim.started());
    RawPort port(sim.port());
    port.send(read_request(300, 2));
    Bytes stray = port.receive();
    ASSERT_EQ(stray.size(), 10u);
    EXPECT_TRUE(sim::crc_ok(Bytes(stray.begin(), stray.end() - 1)));
    port.send(read_request(0xFFE0, 1));
    EXPECT_EQ(port.receive(1000), sim::Device({}).event_image());
}

TEST(SimProgram, HangupComesBackOnANewPtyWithTheSameRegisters) {
    test::SimHarness sim({"--baud", "0", "--fault", "hangup", "--fault-count", "1"});
    ASSERT_TRUE(sim.started());
    char before[256] = {};
    ASSERT_GT(readlink(sim.port().c_str(), before, sizeof before - 1), 0);
    {
        RawPort port(sim.port());
        port.send(write_request(301, {77}));
        EXPECT_LT(port.receive().size(), 8u);
    }
    // The link moves to the new device once it is there.
    char after[256] = {};
    for (int i = 0; i < 500 && std::string(after).empty(); ++i) {
        char now[256] = {};
        if (readlink(sim.port().c_str(), now, sizeof now - 1) > 0 && std::strcmp(now, before))
            std::strcpy(after, now);
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_STRNE(after, "");
    RawPort port(sim.port());
    port.send(read_request(301, 1));
    EXPECT_EQ(port.receive(), with_crc({1, 3, 2, 0, 77}));
}

} // namespace
