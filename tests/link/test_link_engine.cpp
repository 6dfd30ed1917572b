#include "support/fake_bridge.h"

#include <filesystem>
#include <fstream>
#include <glib.h>
#include <deque>

namespace {

using fake::burst;
using fake::Bytes;
using fake::FakeLinkTest;
using fake::Op;
using fake::silence;
using fake::with_crc;

const Bytes REQUEST{0x01, 0x03, 0x00, 0x00, 0x00, 0x01};
const Bytes REPLY = with_crc({0x01, 0x03, 0x02, 0x12, 0x34});
// A correct frame with a stray byte behind it, in one burst.
const Bytes STRAY = [] {
    Bytes b = REPLY;
    b.push_back(0x55);
    return b;
}();

struct Outcome {
    int result;
    uint32_t length;
};

Outcome once(const Bytes& request, uint8_t* reply, int32_t limit, bool crc_terminated) {
    uint32_t length = 12345;
    int r = serial_comm_once(request.data(), static_cast<uint32_t>(request.size()), reply, &length,
                             limit, crc_terminated);
    return {r, length};
}

Outcome comm(const Bytes& request = REQUEST) {
    uint8_t reply[REPLY_LIMIT];
    uint32_t length = 12345;
    int r = serial_comm(request.data(), static_cast<uint32_t>(request.size()), reply, &length);
    return {r, length};
}

using EngineOpen = FakeLinkTest;

TEST_F(EngineOpen, TriesEveryDescriptionInOrderAndConfiguresTheLine) {
    link->present.clear();
    EXPECT_EQ(serial_open(), 0);
    EXPECT_EQ(link->tried, std::vector<std::string>(std::begin(DEVICE_DESCRIPTIONS),
                                                    std::end(DEVICE_DESCRIPTIONS)));
    EXPECT_EQ(link->tried.front(), "UNIT-A/1");
    EXPECT_FALSE(serial_is_open());

    link->tried.clear();
    link->present = {"UNIT-C/2", "UNIT-D/1"};
    ASSERT_EQ(serial_open(), 1);
    ASSERT_EQ(link->tried.size(), 8u);
    EXPECT_EQ(link->tried.back(), "UNIT-C/2");
    EXPECT_EQ(link->baud, 115200u);
    EXPECT_EQ(link->line, (Bytes{8, 0, 0}));
    EXPECT_EQ(link->flow, (Bytes{0, 0, 0}));
    EXPECT_EQ(link->purges, std::vector<uint32_t>{3});
    EXPECT_EQ(link->timeouts_set, (std::vector<std::pair<uint32_t, uint32_t>>{{2000, 2000}}));
    // A second open while one is open would lose the first handle.
    EXPECT_EQ(serial_open(), 0);
    EXPECT_EQ(link->open_ports, 1);
}

TEST_F(EngineOpen, AFailingConfigurationStepClosesTheDevice) {
    for (Op op :
         {Op::BaudRate, Op::DataCharacteristics, Op::FlowControl, Op::Purge, Op::Timeouts}) {
        auto l = fake::Link::install();
        l->fail(op);
        EXPECT_EQ(serial_open(), 0) << static_cast<int>(op);
        EXPECT_EQ(l->open_ports, 0) << static_cast<int>(op);
        EXPECT_EQ(l->closes, 1) << static_cast<int>(op);
        EXPECT_FALSE(serial_is_open());
    }
}

TEST_F(EngineOpen, CloseIsHarmlessWithoutADeviceAndTwice) {
    serial_close();
    open();
    serial_close();
    serial_close();
    EXPECT_EQ(link->closes, 1);
    EXPECT_EQ(link->open_ports, 0);
    EXPECT_FALSE(serial_is_open());
    // The port can be opened again afterwards.
    open();
}

using Engine = FakeLinkTest;

TEST_F(Engine, SendsTheRequestWithItsCrcAndReadsAFrame) {
    open();
    link->write_caps = {2, 1, 5, 1}; // the bridge takes the request in pieces
    link->reply(REPLY);
    auto r = comm();
    EXPECT_EQ(r.result, 1);
    EXPECT_EQ(r.length, REPLY.size());
    ASSERT_EQ(link->requests.size(), 1u);
    EXPECT_EQ(link->requests[0], (Bytes{0x01, 0x03, 0x00, 0x00, 0x00, 0x01, 0x84, 0x0A}));
    EXPECT_EQ(link->purges.back(), 3u);
    EXPECT_EQ(link->timeouts_set[1], (std::pair<uint32_t, uint32_t>{2000, 2000}));
    EXPECT_EQ(link->timeouts_set.back(), (std::pair<uint32_t, uint32_t>{1000, 1000}));
    EXPECT_TRUE(link->timeouts_hit.empty()) << "a closed frame ends without waiting";
    // A bridge that takes it all gets the request and its CRC in one write: two could leave a
    // gap inside the frame, and an RTU device drops such a frame.
    link->write_caps.clear();
    link->write_calls = 0;
    link->reply(REPLY);
    EXPECT_EQ(comm().result, 1);
    EXPECT_EQ(link->write_calls, 1);
}

// How the reply arrives, and whether the transaction takes it; nothing lands past the limit.
TEST_F(Engine, ReplyTimingAndLimit) {
    const Bytes head(REPLY.begin(), REPLY.begin() + 3), tail(REPLY.begin() + 3, REPLY.end());
    const Bytes junk{0xDE, 0xAD, 0xBE};
    const std::vector<uint32_t> any{~0u}; // the timeouts met are not the point
    struct Case {
        const char* name;
        std::vector<fake::Arrival> script;
        int result;
        uint32_t length;
        std::vector<uint32_t> waited; // read timeouts that ran out
        bool framed = true;
        int32_t limit = REPLY_LIMIT;
    } cases[] = {
        {"two bursts", {burst(head), burst(tail)}, 1, 7, {}},
        {"late first byte", {silence(1999), burst(REPLY)}, 1, 7, {}},
        {"pause within the reply", {burst(head), silence(999), burst(tail)}, 1, 7, {}},
        {"nothing within 2000 ms", {silence(2000), burst(REPLY)}, 0, 0, {2000}},
        {"no reply", {}, 0, 0, {2000}},
        {"reply broken by silence", {burst(head), silence(1000), burst(tail)}, 0, 0, {1000}},
        {"stray byte after the frame", {burst(STRAY)}, 0, 0, {1000}},
        {"two bytes", {burst({0x01, 0x03})}, 0, 0, {1000}},
        {"bad crc", {burst({0x01, 0x03, 0x02, 0x12, 0x34, 0x00, 0x00})}, 0, 0, {1000}},
        {"read error", {burst(head), fake::read_error()}, 0, 0, {}},
        {"framed past the limit", {burst(Bytes(300, 0xA5))}, 0, 0, any, true, 100},
        // Raw replies end on silence and need three bytes.
        {"raw three bytes", {burst(junk)}, 1, 3, any, false},
        {"raw two bytes", {burst({0xDE, 0xAD})}, 0, 0, any, false},
        {"raw nothing", {}, 0, 0, any, false},
        {"raw past the limit", {burst(Bytes(300, 0xA5))}, 1, 100, any, false, 100},
        {"raw byte by byte past the limit",
         {burst({1}), burst({2}), burst(Bytes(200, 3))},
         1,
         100,
         any,
         false,
         100},
    };
    for (auto& c : cases) {
        auto l = fake::Link::install();
        ASSERT_EQ(serial_open(), 1);
        l->reply(c.script);
        uint8_t reply[REPLY_LIMIT + 64];
        std::fill(std::begin(reply), std::end(reply), 0x77);
        auto r = once(REQUEST, reply, c.limit, c.framed);
        EXPECT_EQ(r.result, c.result) << c.name;
        EXPECT_EQ(r.length, c.length) << c.name;
        if (c.waited != any) {
            EXPECT_EQ(l->timeouts_hit, c.waited) << c.name;
        }
        EXPECT_TRUE(std::all_of(reply + c.limit, std::end(reply), [](uint8_t b) {
            return b == 0x77;
        })) << c.name;
        if (c.length == 3) {
            EXPECT_EQ(Bytes(reply, reply + 3), junk);
        }
        serial_close();
    }
}

TEST_F(Engine, ABridgeFailureFailsTheTransaction) {
    struct Case {
        const char* name;
        Op op;
        int nth; // -1: no call fails
        std::deque<uint32_t> write_caps;
    } cases[] = {
        {"purge", Op::Purge, 0, {}},
        {"timeouts before sending", Op::Timeouts, 2, {}},
        {"timeouts after a read cycle", Op::Timeouts, 3, {}},
        {"write", Op::Write, 0, {}},
        {"write without progress", Op::Write, -1, {3, 0}},
        {"crc write without progress", Op::Write, -1, {6, 0}},
        {"read", Op::Read, 0, {}},
        {"bulk read", Op::Read, 2, {}},
        {"queue status", Op::QueueStatus, 0, {}},
    };
    for (auto& c : cases) {
        auto l = fake::Link::install();
        ASSERT_EQ(serial_open(), 1);
        if (c.nth >= 0)
            l->fail(c.op, c.nth);
        l->write_caps = c.write_caps;
        l->reply(REPLY);
        uint8_t reply[REPLY_LIMIT];
        auto r = once(REQUEST, reply, REPLY_LIMIT, true);
        EXPECT_EQ(r.result, 0) << c.name;
        EXPECT_EQ(r.length, 0u) << c.name;
        EXPECT_TRUE(serial_is_open()) << c.name << ": the caller decides to close";
        serial_close();
    }
}

TEST_F(Engine, AFailedAttemptIsSentOnceMore) {
    open();
    link->reply(STRAY);
    link->reply(REPLY);
    auto r = comm();
    EXPECT_EQ(r.result, 1);
    EXPECT_EQ(r.length, REPLY.size());
    ASSERT_EQ(link->requests.size(), 2u);
    EXPECT_EQ(link->requests[0], link->requests[1]);
}

// A handler run by the dispatch inside a transaction tries every link operation.
struct Nested {
    int comm = -1, open = -1, read = -1;
    bool closed_under_us = false;
};

gboolean nested_operations(gpointer data) {
    auto* n = static_cast<Nested*>(data);
    uint8_t reply[REPLY_LIMIT];
    uint32_t length = 0;
    n->comm = serial_comm(REQUEST.data(), uint32_t(REQUEST.size()), reply, &length);
    n->open = serial_open();
    uint16_t value = 0;
    n->read = read_registers(0, 1, &value);
    serial_close();
    n->closed_under_us = !serial_is_open();
    return G_SOURCE_REMOVE;
}

void expect_refused(const Nested& n, const fake::Link& link) {
    EXPECT_EQ(n.comm, 0);
    EXPECT_EQ(n.open, 0);
    EXPECT_EQ(n.read, 0);
    EXPECT_FALSE(n.closed_under_us);
    EXPECT_EQ(link.requests.size(), 1u) << "nothing was interleaved";
    EXPECT_EQ(link.open_ports, 1);
    EXPECT_EQ(link.tried.size(), 1u);
}

TEST_F(Engine, OperationsStartedFromTheEventDispatchAreRefused) {
    // What the window installs, without a window: pending events run while the reply is awaited.
    serial_set_idle([] {
        while (g_main_context_iteration(nullptr, FALSE)) {
        }
    });
    open();
    link->reply({burst({0x01, 0x03}), burst({0x02, 0x12, 0x34}), burst({REPLY[5], REPLY[6]})});
    Nested n;
    g_idle_add(nested_operations, &n);
    EXPECT_EQ(comm().result, 1);
    serial_set_idle(nullptr);
    expect_refused(n, *link);
}

TEST_F(Engine, OperationsStartedFromProgressAreRefused) {
    open();
    link->reply(Bytes(EVENTS_LENGTH, 0x42));
    Nested n;
    uint8_t* dump = nullptr;
    uint32_t length = 0;
    EXPECT_EQ(read_events(
                  &dump, &length, [](uint32_t, void* data) { nested_operations(data); }, &n),
              1);
    g_free(dump);
    expect_refused(n, *link);
}

// Finding a bridge's tty by its USB product string, in a sysfs tree of our own.
TEST(BridgeDiscovery, FindsTheTtyOfTheUsbDeviceWithThatProduct) {
    namespace fs = std::filesystem;
    char tmpl[] = "/tmp/kelvra-sysfs-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const fs::path root = tmpl;
    const struct {
        const char *device, *product, *tty;
    } devices[] = {
        {"usb1", "UNIT-C/2", nullptr}, // the root hub, never the answer
        {"usb1/1-3", "UNIT-C/2", "ttyUSB1"},  {"usb1/1-1", "UNIT-C/2", "ttyUSB0"},
        {"usb1/1-2", "UNIT-C/22", "ttyUSB2"}, {"usb1/1-4", nullptr, "ttyUSB3"}, // no product string
    };
    for (const auto& d : devices) {
        const fs::path device = root / "devices" / d.device;
        fs::create_directories(device);
        std::ofstream(device / "idVendor") << "0403\n";
        if (d.product)
            std::ofstream(device / "product") << d.product << "\n";
        if (d.tty) {
            fs::create_directories(device / "if:1.0" / d.tty);
            fs::create_directories(root / "class/tty" / d.tty);
            fs::create_symlink(device / "if:1.0" / d.tty, root / "class/tty" / d.tty / "device");
        }
    }
    fs::create_directories(root / "class/tty/tty0"); // a console: no device link

    EXPECT_EQ(bridge::find_ttys("UNIT-C/2", root),
              (std::vector<std::string>{"/dev/ttyUSB0", "/dev/ttyUSB1"}));
    EXPECT_EQ(bridge::find_ttys("UNIT-C/22", root), std::vector<std::string>{"/dev/ttyUSB2"});
    EXPECT_TRUE(bridge::find_ttys("UNIT-A/1", root).empty());
    EXPECT_TRUE(bridge::find_ttys("", root).empty());
    fs::remove_all(root);
}

} // namespace
