// The link end to end: the tool's requests, engine and USB bridge layer over a pseudo-terminal
// to the simulated controller, with the faults a real line can show.
#include "bridge.h"
#include "device.h"
#include "serial.h"
#include "sim_harness.h"

#include <gtest/gtest.h>
#include <glib.h>

namespace {

using Lines = std::vector<std::string>;

struct Link {
    explicit Link(const std::vector<std::string>& sim_args) : sim(sim_args) {
        EXPECT_TRUE(sim.started());
        opened = serial_open();
    }
    ~Link() { serial_close(); }
    test::SimHarness sim;
    int opened;
};

// The dump's result; a failed dump must leave nothing to free.
int dump(uint32_t* length, std::vector<uint8_t>* out = nullptr) {
    uint8_t* buffer = nullptr;
    int rc = read_events(&buffer, length);
    if (rc <= 0) {
        EXPECT_EQ(buffer, nullptr);
    } else if (out) {
        out->assign(buffer, buffer + *length);
    }
    g_free(buffer);
    return rc;
}

TEST(LinkE2E, IdentificationRoundTripAndLineNoise) {
    Link link({"--baud", "0", "--relays", "4", "--options", "3"});
    ASSERT_EQ(link.opened, 1);
    // A second instance of the tool is kept off the port.
    std::unique_ptr<bridge::Port> second;
    EXPECT_NE(bridge::open_posix(link.sim.port(), second), FT_OK);
    uint16_t ident[9] = {};
    ASSERT_EQ(read_registers(IDENTIFICATION_ADDRESS, IDENTIFICATION_COUNT, ident), LINK_OK);
    EXPECT_EQ(ident[0], 0x34);
    // Noise of unknown length ends with the silence; the next request is understood again.
    const uint8_t noise[] = {0x01, 0x07, 0x33};
    uint8_t reply[REPLY_LIMIT];
    uint32_t length = 0;
    EXPECT_EQ(serial_comm_once(noise, 3, reply, &length, REPLY_LIMIT, true), 1);
    const uint16_t values[2] = {1, 2};
    EXPECT_EQ(write_registers(300, 2, values), LINK_OK);
    uint16_t back[2] = {};
    EXPECT_EQ(read_registers(300, 2, back), LINK_OK);
    EXPECT_EQ(back[0], 1);
    EXPECT_EQ(back[1], 2);
    uint16_t missing = 7;
    EXPECT_EQ(read_registers(320, 1, &missing), LINK_EXCEPTION) << "DNP3 device: no MODBUS port";
    EXPECT_EQ(missing, 7);
    Lines log = link.sim.log();
    ASSERT_EQ(log.size(), 5u);
    EXPECT_EQ(log[1].substr(0, 10), "? 01 07 33");
    log.erase(log.begin() + 1);
    EXPECT_EQ(log, (Lines{"R 65520 9", "W 300 2 1 2", "R 300 2", "R 320 1"}));
}

TEST(LinkE2E, PacedDumpArrivesWhole) {
    Link link({}); // 115200 baud, as the real line
    ASSERT_EQ(link.opened, 1);
    uint32_t length = 0;
    std::vector<uint8_t> image;
    ASSERT_EQ(dump(&length, &image), LINK_OK);
    EXPECT_EQ(length, EVENTS_LENGTH);
    EXPECT_TRUE(image == sim::Device({}).event_image());
    EXPECT_EQ(link.sim.log(), (Lines{"R 65504 1"}));
}

enum class Op { read, write, dump };

struct FaultCase {
    const char* name;
    const char* fault;
    Op op;
    int expected;
    size_t requests; // how many the simulator saw: 2 when the engine retried
    const char* count = nullptr;
};

void PrintTo(const FaultCase& c, std::ostream* os) {
    *os << c.name;
}

class LinkFault : public ::testing::TestWithParam<FaultCase> {};

TEST_P(LinkFault, GivesItsResultCode) {
    const FaultCase& c = GetParam();
    std::vector<std::string> args{"--baud", "0", "--fault", c.fault};
    if (c.count)
        args.insert(args.end(), {"--fault-count", c.count});
    Link link(args);
    ASSERT_EQ(link.opened, 1);
    uint16_t values[2] = {0xAAAA, 0xBBBB};
    uint32_t length = 0;
    int rc = c.op == Op::read    ? read_registers(300, 2, values)
             : c.op == Op::write ? write_registers(300, 2, values)
                                 : dump(&length);
    EXPECT_EQ(rc, c.expected);
    if (c.op == Op::read && rc != LINK_OK) {
        EXPECT_EQ(values[0], 0xAAAA) << "values are only written on success";
    }
    EXPECT_EQ(link.sim.log().size(), c.requests);
}

const FaultCase FAULT_CASES[] = {
    {"no_reply", "no-reply", Op::read, LINK_COMM_FAILURE, 2},
    {"no_reply_once", "no-reply", Op::read, LINK_OK, 2, "1"},
    {"bad_crc", "bad-crc", Op::read, LINK_COMM_FAILURE, 2},
    {"stray_byte", "stray-byte", Op::read, LINK_COMM_FAILURE, 2},
    {"exception_read", "exception", Op::read, LINK_EXCEPTION, 1},
    {"exception_write", "exception", Op::write, LINK_EXCEPTION, 1},
    {"short_reply", "short-reply", Op::read, LINK_REPLY_FAULT, 1},
    {"long_reply", "long-reply", Op::write, LINK_REPLY_FAULT, 1},
    {"wrong_slave", "wrong-slave", Op::read, LINK_REPLY_FAULT, 1},
    {"wrong_function", "wrong-function", Op::write, LINK_REPLY_FAULT, 1},
    {"wrong_count_read", "wrong-count", Op::read, LINK_REPLY_FAULT, 1},
    {"wrong_count_write", "wrong-count", Op::write, LINK_REPLY_FAULT, 1},
    {"split", "split", Op::read, LINK_OK, 1},
    {"split_dump", "split", Op::dump, LINK_OK, 1},
    {"short_dump", "short-dump", Op::dump, LINK_REPLY_FAULT, 1},
    {"long_dump", "long-dump", Op::dump, LINK_REPLY_FAULT, 1},
    {"dump_not_retried", "no-reply", Op::dump, LINK_COMM_FAILURE, 1},
    {"hangup", "hangup", Op::read, LINK_COMM_FAILURE, 1},
};

INSTANTIATE_TEST_SUITE_P(Faults, LinkFault, ::testing::ValuesIn(FAULT_CASES),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(LinkE2E, ReconnectAfterHangupFindsTheSameDevice) {
    Link link({"--baud", "0", "--fault", "hangup", "--fault-address", "300", "--fault-count", "1"});
    ASSERT_EQ(link.opened, 1);
    const uint16_t seventy_seven = 77;
    ASSERT_EQ(write_registers(301, 1, &seventy_seven), LINK_OK);
    uint16_t values[2] = {};
    EXPECT_EQ(read_registers(300, 2, values), LINK_COMM_FAILURE);
    serial_close();
    ASSERT_EQ(serial_open(), 1);
    EXPECT_EQ(read_registers(300, 2, values), LINK_OK);
    EXPECT_EQ(values[1], 77);
}

} // namespace
