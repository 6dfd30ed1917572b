#include "fake_bridge.h"

#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <gtk/gtk.h>
#include <poll.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

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

TEST_F(EngineOpen, ATransactionWithoutADeviceSendsNothing) {
    auto r = comm();
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.length, 0u);
    EXPECT_TRUE(link->requests.empty());
}

using Engine = FakeLinkTest;

TEST_F(Engine, SendsTheRequestThenItsCrcAndReadsAFrame) {
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
}

// How the reply arrives, and whether the transaction takes it.
TEST_F(Engine, ReplyTiming) {
    const Bytes head(REPLY.begin(), REPLY.begin() + 3), tail(REPLY.begin() + 3, REPLY.end());
    struct Case {
        const char* name;
        std::vector<fake::Arrival> script;
        int result;
        std::vector<uint32_t> waited; // read timeouts that ran out
    } cases[] = {
        {"two bursts", {burst(head), burst(tail)}, 1, {}},
        {"late first byte", {silence(1999), burst(REPLY)}, 1, {}},
        {"pause within the reply", {burst(head), silence(999), burst(tail)}, 1, {}},
        {"nothing within 2000 ms", {silence(2000), burst(REPLY)}, 0, {2000}},
        {"no reply", {}, 0, {2000}},
        {"reply broken by silence", {burst(head), silence(1000), burst(tail)}, 0, {1000}},
        {"stray byte after the frame", {burst(STRAY)}, 0, {1000}},
        {"two bytes", {burst({0x01, 0x03})}, 0, {1000}},
        {"bad crc", {burst({0x01, 0x03, 0x02, 0x12, 0x34, 0x00, 0x00})}, 0, {1000}},
        {"read error", {burst(head), fake::read_error()}, 0, {}},
    };
    for (auto& c : cases) {
        auto l = fake::Link::install();
        ASSERT_EQ(serial_open(), 1);
        l->reply(c.script);
        uint8_t reply[REPLY_LIMIT];
        auto r = once(REQUEST, reply, REPLY_LIMIT, true);
        EXPECT_EQ(r.result, c.result) << c.name;
        EXPECT_EQ(r.length, c.result ? REPLY.size() : 0u) << c.name;
        EXPECT_EQ(l->timeouts_hit, c.waited) << c.name;
        serial_close();
    }
}

TEST_F(Engine, RawRepliesNeedThreeBytesAndEndOnSilence) {
    open();
    const Bytes junk{0xDE, 0xAD, 0xBE};
    for (size_t n = 0; n <= junk.size(); ++n) {
        link->reply(Bytes(junk.begin(), junk.begin() + n));
        uint8_t reply[16];
        auto r = once(REQUEST, reply, sizeof reply, false);
        EXPECT_EQ(r.result, n == 3 ? 1 : 0) << n;
        EXPECT_EQ(r.length, n == 3 ? 3u : 0u) << n;
        if (n == 3) {
            EXPECT_EQ(Bytes(reply, reply + 3), junk);
        }
    }
}

TEST_F(Engine, NeverStoresMoreThanTheLimit) {
    open();
    constexpr int32_t limit = 100;
    struct Case {
        const char* name;
        std::vector<fake::Arrival> script;
        bool crc_terminated;
        int result;
    } cases[] = {
        {"one burst", {burst(Bytes(300, 0xA5))}, false, 1},
        {"byte by byte", {burst({1}), burst({2}), burst(Bytes(200, 3))}, false, 1},
        {"framed", {burst(Bytes(300, 0xA5))}, true, 0},
    };
    for (auto& c : cases) {
        link->reply(c.script);
        uint8_t reply[limit + 64];
        std::fill(std::begin(reply), std::end(reply), 0x77);
        auto r = once(REQUEST, reply, limit, c.crc_terminated);
        EXPECT_EQ(r.result, c.result) << c.name;
        EXPECT_EQ(r.length, c.result ? uint32_t(limit) : 0u) << c.name;
        EXPECT_TRUE(std::all_of(reply + limit, std::end(reply), [](uint8_t b) {
            return b == 0x77;
        })) << c.name;
    }
}

TEST_F(Engine, ABridgeFailureFailsTheTransaction) {
    struct Case {
        const char* name;
        std::function<void(fake::Link&)> fault;
    } cases[] = {
        {"purge", [](fake::Link& l) { l.fail(Op::Purge); }},
        {"timeouts before sending", [](fake::Link& l) { l.fail(Op::Timeouts, 2); }},
        {"timeouts after a read cycle", [](fake::Link& l) { l.fail(Op::Timeouts, 3); }},
        {"write", [](fake::Link& l) { l.fail(Op::Write); }},
        {"write without progress",
         [](fake::Link& l) {
             l.write_caps = {3, 0};
         }},
        {"crc write without progress",
         [](fake::Link& l) {
             l.write_caps = {6, 0};
         }},
        {"read", [](fake::Link& l) { l.fail(Op::Read); }},
        {"bulk read", [](fake::Link& l) { l.fail(Op::Read, 2); }},
        {"queue status", [](fake::Link& l) { l.fail(Op::QueueStatus); }},
    };
    for (auto& c : cases) {
        auto l = fake::Link::install();
        ASSERT_EQ(serial_open(), 1);
        c.fault(*l);
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

    link->requests.clear();
    r = comm(); // no reply at all, twice
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.length, 0u);
    EXPECT_EQ(link->requests.size(), 2u);
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

TEST_F(Engine, OperationsStartedFromTheEventDispatchAreRefused) {
    if (!gdk_display_get_default())
        GTEST_SKIP() << "needs a display";
    open();
    link->reply({burst({0x01, 0x03}), burst({0x02, 0x12, 0x34}), burst({REPLY[5], REPLY[6]})});
    Nested n;
    g_idle_add(nested_operations, &n);
    auto r = comm();
    EXPECT_EQ(r.result, 1);
    EXPECT_EQ(n.comm, 0);
    EXPECT_EQ(n.open, 0);
    EXPECT_EQ(n.read, 0);
    EXPECT_FALSE(n.closed_under_us);
    EXPECT_EQ(link->requests.size(), 1u) << "nothing was interleaved";
    EXPECT_EQ(link->open_ports, 1);
    EXPECT_EQ(link->tried.size(), 1u);
}

void nested_from_progress(uint32_t, void* data) {
    nested_operations(data);
}

TEST_F(Engine, OperationsStartedFromProgressAreRefused) {
    open();
    link->reply(Bytes(EVENTS_LENGTH, 0x42));
    Nested n;
    uint8_t* dump = nullptr;
    uint32_t length = 0;
    EXPECT_EQ(read_events(&dump, &length, nested_from_progress, &n), 1);
    g_free(dump);
    EXPECT_EQ(n.comm, 0);
    EXPECT_EQ(n.open, 0);
    EXPECT_EQ(n.read, 0);
    EXPECT_FALSE(n.closed_under_us);
    EXPECT_EQ(link->requests.size(), 1u);
}

// Finding a bridge's tty by its USB product string, in a sysfs tree of our own.
TEST(BridgeDiscovery, FindsTheTtyOfTheUsbDeviceWithThatProduct) {
    namespace fs = std::filesystem;
    char tmpl[] = "/tmp/kelvra-sysfs-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    fs::path root = tmpl;
    auto file = [](const fs::path& p, const std::string& text) {
        fs::create_directories(p.parent_path());
        std::ofstream(p) << text;
    };
    auto tty = [&](const std::string& name, const std::string& device_dir) {
        fs::create_directories(root / "class/tty" / name);
        fs::create_directories(root / device_dir / name);
        fs::create_symlink(root / device_dir / name, root / "class/tty" / name / "device");
    };
    file(root / "devices/usb1/idVendor", "1d6b\n");
    file(root / "devices/usb1/product", "UNIT-C/2\n"); // the root hub, never the answer
    file(root / "devices/usb1/1-1/idVendor", "0403\n");
    file(root / "devices/usb1/1-1/product", "UNIT-C/2\n");
    file(root / "devices/usb1/1-2/idVendor", "0403\n");
    file(root / "devices/usb1/1-2/product", "UNIT-C/22\n");
    file(root / "devices/usb1/1-3/idVendor", "0403\n");
    file(root / "devices/usb1/1-3/product", "UNIT-C/2\n");
    file(root / "devices/usb1/1-4/idVendor", "067b\n"); // no product string
    tty("ttyUSB1", "devices/usb1/1-3/1-3:1.0");
    tty("ttyUSB0", "devices/usb1/1-1/1-1:1.0");
    tty("ttyUSB2", "devices/usb1/1-2/1-2:1.0");
    tty("ttyUSB3", "devices/usb1/1-4/1-4:1.0");
    fs::create_directories(root / "class/tty/tty0"); // a console: no device link

    EXPECT_EQ(bridge::find_ttys("UNIT-C/2", root),
              (std::vector<std::string>{"/dev/ttyUSB0", "/dev/ttyUSB1"}));
    EXPECT_EQ(bridge::find_ttys("UNIT-C/22", root), std::vector<std::string>{"/dev/ttyUSB2"});
    EXPECT_TRUE(bridge::find_ttys("UNIT-A/1", root).empty());
    EXPECT_TRUE(bridge::find_ttys("", root).empty());
    fs::remove_all(root);
}

// The POSIX bridge over a pseudo-terminal: the test plays the controller on the master side.
class PseudoTerminal : public ::testing::Test {
  protected:
    void SetUp() override {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(master, 0);
        ASSERT_EQ(grantpt(master), 0);
        ASSERT_EQ(unlockpt(master), 0);
        char name[128];
        ASSERT_EQ(ptsname_r(master, name, sizeof name), 0);
        path = name;
        termios t{};
        ASSERT_EQ(tcgetattr(master, &t), 0);
        cfmakeraw(&t);
        ASSERT_EQ(tcsetattr(master, TCSANOW, &t), 0);
        setenv("KELVRA_PORT", path.c_str(), 1);
    }
    void TearDown() override {
        serial_close();
        unsetenv("KELVRA_PORT");
        if (master >= 0)
            close(master);
    }
    // Reads n bytes from the master side, or fewer if none come for 5 s.
    Bytes take(size_t n) {
        Bytes got;
        while (got.size() < n) {
            pollfd p{master, POLLIN, 0};
            if (poll(&p, 1, 5000) <= 0)
                break;
            uint8_t buf[256];
            ssize_t r = read(master, buf, std::min(sizeof buf, n - got.size()));
            if (r <= 0)
                break;
            got.insert(got.end(), buf, buf + r);
        }
        return got;
    }
    int master = -1;
    std::string path;
};

TEST_F(PseudoTerminal, ATransactionOverTheRealBridge) {
    ASSERT_EQ(serial_open(), 1);
    Bytes seen;
    std::thread controller([&] {
        seen = take(8);
        Bytes reply = REPLY;
        ASSERT_EQ(write(master, reply.data(), reply.size()), ssize_t(reply.size()));
    });
    uint16_t value = 0;
    EXPECT_EQ(read_registers(0, 1, &value), LINK_OK);
    controller.join();
    EXPECT_EQ(seen, (Bytes{0x01, 0x03, 0x00, 0x00, 0x00, 0x01, 0x84, 0x0A}));
    EXPECT_EQ(value, 0x1234);
}

TEST_F(PseudoTerminal, AReadWithNothingSentReturnsShort) {
    std::unique_ptr<bridge::Port> port;
    ASSERT_EQ(bridge::open_posix(path, port), FT_OK);
    ASSERT_EQ(port->set_timeouts(20, 20), FT_OK);
    uint8_t buf[4];
    uint32_t got = 99;
    EXPECT_EQ(port->read(buf, sizeof buf, &got), FT_OK);
    EXPECT_EQ(got, 0u);
    uint32_t queued = 99;
    EXPECT_EQ(port->queue_status(&queued), FT_OK);
    EXPECT_EQ(queued, 0u);
    // A second instance of the tool is kept off the port.
    std::unique_ptr<bridge::Port> second;
    EXPECT_NE(bridge::open_posix(path, second), FT_OK);
}

TEST_F(PseudoTerminal, TheDeviceVanishingMidReplyIsAFailure) {
    ASSERT_EQ(serial_open(), 1);
    std::thread controller([&] {
        take(8);
        ASSERT_EQ(write(master, REPLY.data(), 3), 3);
        close(master);
        master = -1;
    });
    uint16_t value = 0;
    EXPECT_EQ(read_registers(0, 1, &value), LINK_COMM_FAILURE);
    controller.join();
}

TEST(PosixBridge, AMissingPortDoesNotOpen) {
    setenv("KELVRA_PORT", "/nonexistent/tty", 1);
    EXPECT_EQ(serial_open(), 0);
    EXPECT_FALSE(serial_is_open());
    unsetenv("KELVRA_PORT");
}

} // namespace
