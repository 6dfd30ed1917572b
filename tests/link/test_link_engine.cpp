// The CRC, the transaction engine and the MODBUS requests over a scripted bridge: opening the
// device, one request and its reply, the retry, link operations started from inside a running
// one, each register request's verdict on every reply, and how the event dump ends. The dump's
// verdict on every reply is checked by its fuzz target over its corpus
// (fuzz/fuzz_event_dump.cpp).
#include "device.h"
#include "link/crc16.h"
#include "support/fake_bridge.h"
#include "support/files.h"

#include <array>
#include <filesystem>
#include <glib.h>
#include <gtest/gtest.h>

namespace {

using namespace fake;

// Every table entry is reached by the single bytes and the running CRC by every length; the
// simulator's bitwise CRC is the reference.
TEST(Crc16, AgreesWithTheBitwiseCrc) {
    EXPECT_EQ(crc16_modbus(reinterpret_cast<const uint8_t*>("123456789"), 9), 0x4B37);
    for (int b = 0; b < 256; ++b)
        ASSERT_EQ(crc16_modbus_1(0xFFFF, uint8_t(b)), sim::crc16(Bytes{uint8_t(b)})) << b;
    Bytes data;
    for (int n = 0; n <= 300; ++n, data.push_back(uint8_t(n * 37 + 11))) {
        uint16_t running = 0xFFFF;
        for (uint8_t b : data)
            running = crc16_modbus_1(running, b);
        ASSERT_EQ(crc16_modbus(data.data(), data.size()), sim::crc16(data)) << n;
        ASSERT_EQ(running, sim::crc16(data)) << n;
    }
}

const Bytes REQUEST{0x01, 0x03, 0x00, 0x00, 0x00, 0x01};
const Bytes REPLY{0x01, 0x03, 0x02, 0x12, 0x34, 0xB5, 0x33};
const Bytes STRAY{0x01, 0x03, 0x02, 0x12, 0x34, 0xB5, 0x33, 0x55}; // a stray byte in the burst
const std::vector<uint32_t> ANY{~0u}; // the timeouts met are not the point

// serial_comm of REQUEST: its result and the length it gave.
std::pair<int, uint32_t> comm() {
    uint8_t reply[REPLY_LIMIT];
    uint32_t length = 12345;
    int r = controller.comm(REQUEST.data(), uint32_t(REQUEST.size()), reply, &length);
    return {r, length};
}

// The engine over a fresh scripted bridge.
struct Engine : ::testing::Test {
    fake::Scope link;
};

TEST_F(Engine, OpenTriesEveryDescriptionInOrderConfiguresTheLineAndCloses) {
    controller.close(); // harmless without a device
    link->present = {"UNIT-D/3"};
    ASSERT_EQ(controller.open(), 1);
    EXPECT_EQ(link->tried, std::vector<std::string>(std::begin(DEVICE_DESCRIPTIONS),
                                                    std::end(DEVICE_DESCRIPTIONS)));
    EXPECT_EQ(std::tuple(link->baud, link->line, link->flow),
              std::tuple(115200u, Bytes{8, 0, 0}, std::vector<uint16_t>{0, 0, 0}));
    EXPECT_EQ(link->purges, std::vector<uint32_t>{3});
    EXPECT_EQ(link->timeouts_set, (std::vector<std::pair<uint32_t, uint32_t>>{{2000, 2000}}));
    // A second open while one is open would lose the first handle.
    EXPECT_EQ(controller.open(), 0);
    EXPECT_EQ(link->open_ports, 1);
    controller.close();
    controller.close();
    EXPECT_EQ(link->open_ports, 0);
    EXPECT_FALSE(controller.is_open());

    for (Op op : {Op::Baud, Op::Line, Op::Flow, Op::Purge, Op::Timeouts}) {
        fake::Scope l;
        l->fail(op);
        EXPECT_EQ(controller.open(), 0) << int(op);
        EXPECT_EQ(l->open_ports, 0) << int(op);
    }
}

TEST_F(Engine, SendsTheRequestWithItsCrcReadsAFrameAndRetriesOnce) {
    ASSERT_EQ(controller.open(), 1);
    link->write_caps = {2, 1, 5, 1}; // the bridge takes the request in pieces
    link->reply(REPLY);
    EXPECT_EQ(comm(), std::pair(1, 7u));
    const Bytes sent{0x01, 0x03, 0x00, 0x00, 0x00, 0x01, 0x84, 0x0A};
    EXPECT_EQ(link->requests, std::vector<Bytes>{sent});
    EXPECT_EQ(link->purges.back(), 3u);
    EXPECT_EQ(link->timeouts_set[1], (std::pair<uint32_t, uint32_t>{2000, 2000}));
    EXPECT_EQ(link->timeouts_set.back(), (std::pair<uint32_t, uint32_t>{1000, 1000}));
    EXPECT_TRUE(link->timeouts_hit.empty()) << "a closed frame ends without waiting";
    // A bridge that takes it all gets the request and its CRC in one write: two could leave a
    // gap inside the frame, and an RTU device drops such a frame. A failed attempt is sent again.
    link->write_caps.clear();
    link->write_calls = 0;
    link->reply(STRAY);
    link->reply(REPLY);
    EXPECT_EQ(comm(), std::pair(1, 7u));
    EXPECT_EQ(link->write_calls, 2);
    EXPECT_EQ(link->requests, std::vector<Bytes>(3, sent));
}

// How the reply arrives and what the bridge does, and whether the transaction takes it; nothing
// lands past the limit, and the device stays open for the caller to close.
TEST_F(Engine, ReplyTimingLimitAndBridgeFailures) {
    const Bytes head(REPLY.begin(), REPLY.begin() + 3), tail(REPLY.begin() + 3, REPLY.end());
    const Bytes junk{0xFF, 0xFF, 0xDE}, big(300, 0xA5);
    const std::vector<fake::Arrival> ok{burst(REPLY)};
    struct Case {
        const char* name;
        std::vector<fake::Arrival> script;
        int result = 0;
        uint32_t length = 0;
        std::vector<uint32_t> waited = ANY; // read timeouts that ran out
        bool framed = true;
        int32_t limit = REPLY_LIMIT;
        Op op = Op::Open; // fails from its nth call (0: every call); Open: none does
        int nth = 0;
        std::deque<uint32_t> caps = {};
    } cases[] = {
        {"two bursts", {burst(head), burst(tail)}, 1, 7, {}},
        {"late first byte", {silence(1999), burst(REPLY)}, 1, 7, {}},
        {"pause within the reply", {burst(head), silence(999), burst(tail)}, 1, 7, {}},
        {"nothing within 2000 ms", {silence(2000), burst(REPLY)}, 0, 0, {2000}},
        {"reply broken by silence", {burst(head), silence(1000), burst(tail)}, 0, 0, {1000}},
        {"stray byte after the frame", {burst(STRAY)}, 0, 0, {1000}},
        {"framed past the limit", {burst(big)}, 0, 0, ANY, true, 100},
        // Raw replies end on silence only, even where a CRC closes (after FF FF), and need three
        // bytes.
        {"raw three bytes", {burst({0xFF, 0xFF}), burst({0xDE})}, 1, 3, ANY, false},
        {"raw two bytes", {burst({0xDE, 0xAD})}, 0, 0, ANY, false},
        {"raw past the limit", {burst(big)}, 1, 100, ANY, false, 100},
        {.name = "purge", .script = ok, .op = Op::Purge},
        {.name = "timeouts before sending", .script = ok, .op = Op::Timeouts, .nth = 2},
        {.name = "timeouts after a read cycle", .script = ok, .op = Op::Timeouts, .nth = 3},
        {.name = "write", .script = ok, .op = Op::Write},
        {.name = "write without progress", .script = ok, .caps = {3, 0}},
        {.name = "crc write without progress", .script = ok, .caps = {6, 0}},
        {.name = "read", .script = ok, .op = Op::Read},
        {.name = "bulk read", .script = ok, .op = Op::Read, .nth = 2},
        {.name = "queue status", .script = ok, .op = Op::Queue},
    };
    for (auto& c : cases) {
        fake::Scope l;
        ASSERT_EQ(controller.open(), 1);
        l->reply(c.script);
        l->fail(c.op, c.nth);
        l->write_caps = c.caps;
        uint8_t reply[REPLY_LIMIT + 64];
        std::fill(std::begin(reply), std::end(reply), 0x77);
        uint32_t length = 12345;
        EXPECT_EQ(controller.comm_once(REQUEST.data(), uint32_t(REQUEST.size()), reply, &length,
                                       c.limit, c.framed),
                  c.result)
            << c.name;
        EXPECT_EQ(length, c.length) << c.name;
        if (c.waited != ANY) {
            EXPECT_EQ(l->timeouts_hit, c.waited) << c.name;
        }
        EXPECT_EQ(std::count(reply + c.limit, std::end(reply), 0x77),
                  std::end(reply) - reply - c.limit)
            << c.name;
        if (c.length == 3) {
            EXPECT_EQ(Bytes(reply, reply + 3), junk);
        }
        EXPECT_TRUE(controller.is_open()) << c.name;
    }
}

// What a handler run inside a transaction got from comm, open, read and whether its close
// took the device away: all refused, so nothing slips between the transaction's requests.
using Nested = std::array<int, 4>;

gboolean nested_operations(gpointer data) {
    auto& n = *static_cast<Nested*>(data);
    uint8_t reply[REPLY_LIMIT];
    uint32_t length = 0;
    uint16_t value = 0;
    n[0] = controller.comm(REQUEST.data(), uint32_t(REQUEST.size()), reply, &length);
    n[1] = controller.open();
    n[2] = controller.read_registers(0, 1, &value);
    controller.close();
    n[3] = !controller.is_open();
    return G_SOURCE_REMOVE;
}

TEST_F(Engine, OperationsStartedFromTheEventDispatchAreRefused) {
    // What the window installs, without a window: pending events run while the reply is awaited.
    controller.set_idle([] {
        while (g_main_context_iteration(nullptr, FALSE)) {
        }
    });
    ASSERT_EQ(controller.open(), 1);
    link->reply({burst({0x01, 0x03}), burst({0x02, 0x12, 0x34}), burst({REPLY[5], REPLY[6]})});
    Nested dispatched{-1, -1, -1, -1};
    g_idle_add(nested_operations, &dispatched);
    EXPECT_EQ(comm().first, 1);
    controller.set_idle(nullptr);
    EXPECT_EQ(dispatched, Nested{});
    EXPECT_EQ(link->requests.size(), 1u) << "nothing was interleaved";
    EXPECT_EQ(link->open_ports, 1);
    EXPECT_EQ(link->tried.size(), 1u);
}

// Slave 1, the function, the first register and the count.
Bytes header(uint8_t function, uint16_t start, uint16_t count) {
    return {1, function, uint8_t(start >> 8), uint8_t(start), uint8_t(count >> 8), uint8_t(count)};
}

// Register values as sent: 0x0101, 0x0202, ...
std::vector<uint16_t> sample_values(unsigned count) {
    std::vector<uint16_t> v(count);
    for (unsigned k = 0; k < count; ++k)
        v[k] = static_cast<uint16_t>((k + 1) * 0x0101);
    return v;
}

// The frame followed by a byte count and count sample values: a read's reply, a write request.
Bytes with_values(Bytes frame, unsigned count) {
    frame.push_back(uint8_t(2 * count));
    for (uint16_t v : sample_values(count))
        frame.insert(frame.end(), {uint8_t(v >> 8), uint8_t(v)});
    return with_crc(frame);
}

const auto read_reply = [](unsigned count) { return with_values({1, 3}, count); };

// The frame with one byte changed, and its CRC made to fit again unless `reseal` is false.
Bytes with_byte(Bytes frame, size_t at, uint8_t value, bool reseal = true) {
    frame.at(at) = value;
    return reseal ? with_crc(Bytes(frame.begin(), frame.end() - 2)) : frame;
}

// Only the reply asked for is taken: the values are stored on success only, and a failed
// transaction (not a faulty reply) is sent once more.
TEST_F(Engine, ReadAndWriteRegisters) {
    const uint8_t R = 0x03, W = 0x10;
    const Bytes echo = with_crc(header(W, 300, 2)), exception = with_crc({1, 0x83, 2});
    // What, the function, the first register, the count, the reply (empty: none), the result.
    std::vector<std::tuple<std::string, uint8_t, uint16_t, uint16_t, Bytes, int>> all = {
        {"fourteen registers", R, 200, 14, read_reply(14), LINK_OK},
        {"exception", R, 200, 14, exception, LINK_EXCEPTION},
        {"exception of six bytes", R, 200, 14, with_crc({1, 0x83, 2, 0}), LINK_REPLY_FAULT},
        {"exception from slave 2", R, 200, 14, with_crc({2, 0x83, 2}), LINK_REPLY_FAULT},
        {"exception to a write", R, 200, 14, with_crc({1, 0x90, 2}), LINK_REPLY_FAULT},
        {"byte count off by 2", R, 200, 14, with_byte(read_reply(14), 2, 26), LINK_REPLY_FAULT},
        {"slave 2", R, 200, 14, with_byte(read_reply(14), 0, 2), LINK_REPLY_FAULT},
        {"function 4", R, 200, 14, with_byte(read_reply(14), 1, 4), LINK_REPLY_FAULT},
        {"128 registers", R, 0, 128, read_reply(128), LINK_REPLY_FAULT},
        {"no registers", R, 0, 0, with_crc({1, 3, 0}), LINK_OK},
        {"exception to no registers", R, 0, 0, exception, LINK_REPLY_FAULT},
        {"bad crc", R, 200, 14, with_byte(read_reply(14), 32, 0, false), LINK_COMM_FAILURE},
        {"no reply", R, 200, 14, {}, LINK_COMM_FAILURE},
        {"longer than the buffer", R, 200, 14, Bytes(1500, 0x01), LINK_COMM_FAILURE},
        {"echo", W, 300, 2, echo, LINK_OK},
        {"write exception", W, 300, 2, with_crc({1, 0x90, 2}), LINK_EXCEPTION},
        {"echo with a byte count", W, 300, 2, with_values(header(W, 300, 2), 0), LINK_REPLY_FAULT},
        {"no echo", W, 300, 2, {}, LINK_COMM_FAILURE},
        // The largest write whose byte count fits its one byte; one more could only go out
        // with a mangled byte count, and is not sent.
        {"127 registers", W, 0, 127, with_crc(header(W, 0, 127)), LINK_OK},
        {"128 registers written", W, 0, 128, {}, LINK_REPLY_FAULT},
    };
    // Frames of every length but the right one (9) for a read of 2 registers, and an echo that
    // differs from the request in any one of its six bytes.
    for (uint8_t n = 3; n < 40; ++n) {
        Bytes body{1, 3, 4}, other = header(W, 300, 2);
        body.resize(n - 2, 0x11);
        if (n != 9)
            all.emplace_back("length " + std::to_string(n), R, 0, 2, with_crc(body),
                             LINK_REPLY_FAULT);
        if (n < 9 && (other[n - 3] ^= 0x80))
            all.emplace_back("echo differing", W, 300, 2, with_crc(other), LINK_REPLY_FAULT);
    }
    for (auto& [name, function, start, count, reply, result] : all) {
        fake::Scope l;
        ASSERT_EQ(controller.open(), 1);
        l->reply(reply);
        l->reply(reply);
        std::vector<uint16_t> values(count + 1u, 0xBEEF), expected = values;
        const bool write = function == W;
        EXPECT_EQ(write ? controller.write_registers(start, count, sample_values(count).data())
                        : controller.read_registers(start, count, values.data()),
                  result)
            << name;
        if (!write && result == LINK_OK)
            std::copy_n(sample_values(count).begin(), count, expected.begin());
        EXPECT_EQ(values, expected) << name;
        Bytes request =
            write ? with_values(header(W, start, count), count) : with_crc(header(R, start, count));
        size_t sent = write && count > 127 ? 0 : result == LINK_COMM_FAILURE ? 2 : 1;
        EXPECT_EQ(l->requests, std::vector<Bytes>(sent, request)) << name;
    }
}

// The dump ends at its length after a short quiet, else by the byte timeout; a tail that comes
// after the quiet is dropped before the next request, whose reply then comes clean at once.
TEST_F(Engine, EventDumpEndsAtItsLengthAfterAShortQuiet) {
    const Bytes image(EVENTS_LENGTH, 0x5A), tail{0x00, 0x11, 0x22};
    Bytes over = image;
    over.push_back(0x00);
    const uint32_t Q = QUIET_LINE_MS, whole = EVENTS_LENGTH;
    struct Case {
        const char* name;
        std::vector<fake::Arrival> script;
        int result;
        uint32_t length;
        std::vector<uint32_t> waited;
    } cases[] = {
        {"whole", {burst(image)}, LINK_OK, whole, {Q}},
        {"whole, late tail", {burst(image), silence(Q + 10), burst(tail)}, LINK_OK, whole, {Q}},
        {"one byte over", {burst(over)}, LINK_REPLY_FAULT, whole + 1, {1000}},
        {"tail within the quiet",
         {burst(image), silence(Q - 1), burst(tail)},
         LINK_REPLY_FAULT,
         whole + 3,
         {1000}},
        {"one byte short", {burst(Bytes(whole - 1, 0x5A))}, LINK_REPLY_FAULT, whole - 1, {1000}},
        {"no answer", {}, LINK_COMM_FAILURE, 0, {2000}},
    };
    for (auto& c : cases) {
        fake::Scope l;
        l->in_flight = true;
        ASSERT_EQ(controller.open(), 1);
        l->reply(c.script);
        l->reply(read_reply(1));
        uint8_t* buffer = nullptr;
        uint32_t length = 0, shown = 0;
        EXPECT_EQ(
            controller.read_events(
                &buffer, &length,
                [](uint32_t received, void* data) { *static_cast<uint32_t*>(data) = received; },
                &shown),
            c.result)
            << c.name;
        EXPECT_EQ(std::tuple(length, shown, l->timeouts_hit),
                  std::tuple(c.length, c.length, c.waited))
            << c.name;
        EXPECT_EQ(buffer != nullptr, c.result == LINK_OK) << c.name;
        g_free(buffer);
        uint16_t value = 0;
        EXPECT_EQ(controller.read_registers(0, 1, &value), LINK_OK) << c.name;
        EXPECT_EQ(std::pair(value, l->requests.size()), std::pair(uint16_t{0x0101}, size_t{2}))
            << c.name;
    }
}

// Finding a bridge's tty by its USB product string, in a sysfs tree of our own.
TEST(BridgeDiscovery, FindsTheTtyOfTheUsbDeviceWithThatProduct) {
    namespace fs = std::filesystem;
    test::TempDir dir;
    const fs::path root = dir.path(), ttys = root / "class/tty";
    // A USB device, its product string and its tty; the root hub (no tty) is never the answer.
    for (auto [device, product, tty] : {std::tuple{"usb1", "UNIT-C/2", ""},
                                        {"usb1/1-3", "UNIT-C/2", "ttyUSB1"},
                                        {"usb1/1-1", "UNIT-C/2", "ttyUSB0"},
                                        {"usb1/1-2", "UNIT-C/22", "ttyUSB2"},
                                        {"usb1/1-4", "", "ttyUSB3"}}) {
        const fs::path at = root / "devices" / device, interface = at / "if:1.0" / tty;
        fs::create_directories(interface);
        test::put(at / "idVendor", "0403\n");
        if (*product)
            test::put(at / "product", std::string(product) + "\n");
        if (*tty && fs::create_directories(ttys / tty))
            fs::create_symlink(interface, ttys / tty / "device");
    }
    fs::create_directories(ttys / "tty0"); // a console: no device link
    EXPECT_EQ(bridge::find_ttys("UNIT-C/2", root),
              (std::vector<std::string>{"/dev/ttyUSB0", "/dev/ttyUSB1"}));
    EXPECT_EQ(bridge::find_ttys("UNIT-C/22", root), std::vector<std::string>{"/dev/ttyUSB2"});
    EXPECT_TRUE(bridge::find_ttys("UNIT-A/1", root).empty());
    EXPECT_TRUE(bridge::find_ttys("", root).empty());
}

} // namespace
