// The link end to end: the tool's requests, engine and USB bridge layer over a pseudo-terminal
// to the simulated controller, with the faults a real line can show.
#include "device.h"
#include "serial.h"
#include "sim_harness.h"

#include <gtest/gtest.h>
#include <glib.h>

#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace {

using Lines = std::vector<std::string>;

struct Link {
    Link() { opened = serial_open(); }
    ~Link() { serial_close(); }
    int opened;
};

struct GFree {
    void operator()(uint8_t* p) const { g_free(p); }
};

int dump(uint32_t* length, std::unique_ptr<uint8_t, GFree>* out = nullptr) {
    uint8_t* buffer = nullptr;
    int rc = read_events(&buffer, length);
    std::unique_ptr<uint8_t, GFree> owned(buffer);
    if (rc <= 0) {
        EXPECT_EQ(buffer, nullptr) << "a failed dump leaves nothing to free";
    }
    if (out)
        *out = std::move(owned);
    return rc;
}

TEST(LinkE2E, IdentificationAndRoundTrip) {
    test::SimHarness sim({"--baud", "0", "--relays", "4", "--options", "3"});
    ASSERT_TRUE(sim.started());
    Link link;
    ASSERT_EQ(link.opened, 1);
    uint16_t ident[9] = {};
    ASSERT_EQ(read_registers(IDENTIFICATION_ADDRESS, IDENTIFICATION_COUNT, ident), LINK_OK);
    EXPECT_EQ(ident[0], 0x34);
    const uint16_t values[2] = {1, 2};
    EXPECT_EQ(write_registers(300, 2, values), LINK_OK);
    uint16_t back[2] = {};
    EXPECT_EQ(read_registers(300, 2, back), LINK_OK);
    EXPECT_EQ(back[0], 1);
    EXPECT_EQ(back[1], 2);
    uint16_t missing = 7;
    EXPECT_EQ(read_registers(320, 1, &missing), LINK_EXCEPTION) << "DNP3 device: no MODBUS port";
    EXPECT_EQ(missing, 7);
    EXPECT_EQ(sim.log(), (Lines{"R 65520 9", "W 300 2 1 2", "R 300 2", "R 320 1"}));
}

TEST(LinkE2E, PacedDumpArrivesWhole) {
    test::SimHarness sim; // 115200 baud, as the real line
    ASSERT_TRUE(sim.started());
    Link link;
    ASSERT_EQ(link.opened, 1);
    uint32_t length = 0;
    std::unique_ptr<uint8_t, GFree> buffer;
    ASSERT_EQ(dump(&length, &buffer), LINK_OK);
    ASSERT_EQ(length, EVENTS_LENGTH);
    sim::Device device({});
    const auto& image = device.event_image();
    EXPECT_TRUE(std::equal(image.begin(), image.end(), buffer.get()));
    EXPECT_EQ(sim.log(), (Lines{"R 65504 1"}));
}

enum class Op { read, write, dump };

struct FaultCase {
    const char* name;
    std::vector<std::string> args;
    Op op;
    int expected;
    size_t requests; // how many the simulator saw: 2 when the engine retried
};

void PrintTo(const FaultCase& c, std::ostream* os) {
    *os << c.name;
}

class LinkFault : public ::testing::TestWithParam<FaultCase> {};

TEST_P(LinkFault, GivesItsResultCode) {
    const FaultCase& c = GetParam();
    std::vector<std::string> args{"--baud", "0"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    test::SimHarness sim(args);
    ASSERT_TRUE(sim.started());
    Link link;
    ASSERT_EQ(link.opened, 1);
    uint16_t values[2] = {0xAAAA, 0xBBBB};
    uint32_t length = 0;
    int rc = 0;
    switch (c.op) {
    case Op::read:
        rc = read_registers(300, 2, values);
        if (rc != LINK_OK) {
            EXPECT_EQ(values[0], 0xAAAA) << "values are only written on success";
        }
        break;
    case Op::write:
        rc = write_registers(300, 2, values);
        break;
    case Op::dump:
        rc = dump(&length);
        break;
    }
    EXPECT_EQ(rc, c.expected);
    EXPECT_EQ(sim.log().size(), c.requests);
}

const FaultCase FAULT_CASES[] = {
    {"no_reply", {"--fault", "no-reply"}, Op::read, LINK_COMM_FAILURE, 2},
    {"no_reply_once", {"--fault", "no-reply", "--fault-count", "1"}, Op::read, LINK_OK, 2},
    {"bad_crc", {"--fault", "bad-crc"}, Op::read, LINK_COMM_FAILURE, 2},
    {"stray_byte", {"--fault", "stray-byte"}, Op::read, LINK_COMM_FAILURE, 2},
    {"exception_read", {"--fault", "exception"}, Op::read, LINK_EXCEPTION, 1},
    {"exception_write", {"--fault", "exception"}, Op::write, LINK_EXCEPTION, 1},
    {"short_reply", {"--fault", "short-reply"}, Op::read, LINK_REPLY_FAULT, 1},
    {"long_reply", {"--fault", "long-reply"}, Op::write, LINK_REPLY_FAULT, 1},
    {"wrong_slave", {"--fault", "wrong-slave"}, Op::read, LINK_REPLY_FAULT, 1},
    {"wrong_function", {"--fault", "wrong-function"}, Op::write, LINK_REPLY_FAULT, 1},
    {"wrong_count_read", {"--fault", "wrong-count"}, Op::read, LINK_REPLY_FAULT, 1},
    {"wrong_count_write", {"--fault", "wrong-count"}, Op::write, LINK_REPLY_FAULT, 1},
    {"split", {"--fault", "split"}, Op::read, LINK_OK, 1},
    {"split_dump", {"--fault", "split"}, Op::dump, LINK_OK, 1},
    {"short_dump", {"--fault", "short-dump"}, Op::dump, LINK_REPLY_FAULT, 1},
    {"long_dump", {"--fault", "long-dump"}, Op::dump, LINK_REPLY_FAULT, 1},
    {"dump_not_retried", {"--fault", "no-reply"}, Op::dump, LINK_COMM_FAILURE, 1},
    {"hangup", {"--fault", "hangup"}, Op::read, LINK_COMM_FAILURE, 1},
};

INSTANTIATE_TEST_SUITE_P(Faults, LinkFault, ::testing::ValuesIn(FAULT_CASES),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(LinkE2E, ReconnectAfterHangupFindsTheSameDevice) {
    test::SimHarness sim(
        {"--baud", "0", "--fault", "hangup", "--fault-address", "300", "--fault-count", "1"});
    ASSERT_TRUE(sim.started());
    ASSERT_EQ(serial_open(), 1);
    const uint16_t seventy_seven = 77;
    ASSERT_EQ(write_registers(301, 1, &seventy_seven), LINK_OK);
    uint16_t values[2] = {};
    EXPECT_EQ(read_registers(300, 2, values), LINK_COMM_FAILURE);
    serial_close();
    ASSERT_EQ(serial_open(), 1);
    EXPECT_EQ(read_registers(300, 2, values), LINK_OK);
    EXPECT_EQ(values[1], 77);
    serial_close();
}

} // namespace
