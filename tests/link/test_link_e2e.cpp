// The link end to end: the tool's requests, engine and USB bridge layer over a pseudo-terminal
// to the simulated controller. Each injected fault is run through the window by the
// fault-injection tests; here is what only the link itself shows.
#include "device.h"
#include "link/bridge.h"
#include "link/serial.h"
#include "support/fake_bridge.h"
#include "support/sim_harness.h"

#include <array>
#include <glib.h>
#include <gtest/gtest.h>

namespace {

using Lines = std::vector<std::string>;

// At the line's real pace; the hang-up comes on the first request for register 301.
TEST(LinkE2E, RoundTripsLineNoisePacedDumpAndReconnectAfterHangup) {
    test::SimHarness sim({"--relays", "4", "--options", "3", "--fault", "hangup", "--fault-address",
                          "301", "--fault-count", "1"});
    ASSERT_TRUE(sim.started());
    ASSERT_EQ(controller.open(), 1);
    // A second instance of the tool is kept off the port.
    std::unique_ptr<bridge::Port> second;
    EXPECT_NE(bridge::open_posix(sim.port(), second), FT_OK);
    uint16_t ident[9] = {};
    ASSERT_EQ(controller.read_registers(IDENTIFICATION_ADDRESS, IDENTIFICATION_COUNT, ident),
              LINK_OK);
    EXPECT_EQ(ident[0], 0x34);
    // Noise of unknown length ends with the silence; the next request is understood again.
    const uint8_t noise[] = {0x01, 0x07, 0x33};
    uint8_t reply[REPLY_LIMIT];
    uint32_t length = 0;
    controller.comm_once(noise, 3, reply, &length, REPLY_LIMIT, true);
    const uint16_t values[2] = {1, 2};
    EXPECT_EQ(controller.write_registers(300, 2, values), LINK_OK);
    std::array<uint16_t, 2> back{};
    EXPECT_EQ(controller.read_registers(300, 2, back.data()), LINK_OK);
    EXPECT_EQ(back, (std::array<uint16_t, 2>{1, 2}));
    uint16_t missing = 7;
    EXPECT_EQ(controller.read_registers(320, 1, &missing), LINK_EXCEPTION)
        << "DNP3 device: no MODBUS port";
    EXPECT_EQ(missing, 7);
    uint8_t* buffer = nullptr;
    ASSERT_EQ(controller.read_events(&buffer, &length), LINK_OK);
    std::vector<uint8_t> image(buffer, buffer + length);
    g_free(buffer);
    EXPECT_TRUE(image == sim::Device({4, 3}).event_image());
    // A request torn on a loaded host is noise too, and sent again: noise is only counted.
    Lines requests = sim.log();
    EXPECT_GE(std::erase_if(requests, [](const std::string& l) { return l[0] == '?'; }), 1u);
    EXPECT_EQ(requests, (Lines{"R 65520 9", "W 300 2 1 2", "R 300 2", "R 320 1", "R 65504 1"}));

    EXPECT_EQ(controller.read_registers(301, 1, back.data()), LINK_COMM_FAILURE);
    controller.close();
    ASSERT_EQ(controller.open(), 1);
    EXPECT_EQ(controller.read_registers(300, 2, back.data()), LINK_OK);
    EXPECT_EQ(back[1], 2) << "the same device";
    controller.close();
}

} // namespace
