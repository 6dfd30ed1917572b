// Connect, Download, Upload and the link failure messages: the real window, its buttons, and
// kelvra-sim on a pseudo-terminal, checked against the requests the simulator received.
#include "device.h"
#include "gui/commands.h"
#include "gui/compare.h"
#include "gui/connection.h"
#include "gui/params.h"
#include "gui/transfer.h"
#include "link/serial.h"
#include "support/sim_harness.h"
#include "support/window.h"

#include <cstdlib>
#include <sstream>

namespace {

using Lines = std::vector<std::string>;

using test::click;
using test::messages;
using test::widget;

GtkToggleToolButton* connect_button() {
    return GTK_TOGGLE_TOOL_BUTTON(widget("Connect"));
}
bool connected() {
    return gtk_toggle_tool_button_get_active(connect_button());
}
bool sensitive(const char* name) {
    return GTK_WIDGET_SENSITIVE(widget(name));
}
int shown(const char* name) {
    return gtk_spin_button_get_value_as_int(GTK_SPIN_BUTTON(widget(name)));
}
// "R 0 3|R 20 3" as log lines.
Lines lines(const std::string& joined) {
    Lines out;
    std::istringstream in(joined);
    for (std::string line; std::getline(in, line, '|');)
        out.push_back(line);
    return out;
}

// The writes among log lines (an upload reads back what it wrote).
Lines writes_in(const Lines& log) {
    Lines out;
    std::copy_if(log.begin(), log.end(), std::back_inserter(out),
                 [](const std::string& l) { return l[0] == 'W'; });
    return out;
}

struct Request {
    char kind = 0;
    int first = 0, count = 0;
    std::vector<uint16_t> values;
};
Request parse(const std::string& line) {
    std::istringstream in(line);
    Request r;
    in >> r.kind >> r.first >> r.count;
    for (int v; in >> v;)
        r.values.push_back(static_cast<uint16_t>(v));
    return r;
}

const char* FULL_3 = "R 0 3|R 20 3|R 120 3|R 140 3|R 40 3|R 60 3|R 80 3|R 100 3|R 160 3|"
                     "R 200 14|R 300 2|R 320 3|R 400 6";
const char* COMMANDS[] = {"Connect",         "Download",        "Upload",          "menu_events",
                          "menu_viewevents", "menu_openconfig", "menu_saveconfig", "menu_about"};

class Commands : public test::GuiTest {
  protected:
    void SetUp() override {
        GuiTest::SetUp();
        test::load_main_window(variant_full);
        init_registers();
        // What Upload writes is checked here; its confirmation has tests of its own.
        confirm_uploads = false;
    }
    void TearDown() override {
        serial_close();
        GuiTest::TearDown();
    }
    // Connects to the simulator and leaves only what follows the identification in its log.
    void connect_to(test::SimHarness& sim) {
        ASSERT_TRUE(sim.started());
        gtk_toggle_tool_button_set_active(connect_button(), TRUE);
        ASSERT_TRUE(connected()) << ::testing::PrintToString(messages());
        EXPECT_STREQ(gtk_tool_button_get_stock_id(GTK_TOOL_BUTTON(connect_button())),
                     "gtk-connect");
        EXPECT_EQ(sim.log(), Lines{"R 65520 9"});
        sim.clear_log();
    }
    void expect_disconnected(const Lines& shown_messages) {
        EXPECT_EQ(messages(), shown_messages);
        EXPECT_EQ(test::status_text(), "");
        EXPECT_FALSE(connected());
        EXPECT_STREQ(gtk_tool_button_get_stock_id(GTK_TOOL_BUTTON(connect_button())),
                     "gtk-disconnect");
        EXPECT_TRUE(sensitive("Connect"));
        for (const char* name : {"Download", "Upload", "menu_events", "SetPoint C 1", "DeltaT1",
                                 "Date", "DailyCoolingStartMinute"})
            EXPECT_FALSE(sensitive(name)) << name;
        // The link is closed: a request reaches nobody.
        uint16_t v;
        EXPECT_EQ(read_registers(0, 1, &v), 0);
    }
};

struct DownloadCase {
    const Variant* variant;
    int options;
    const char* blocks;
};

class DownloadOrder : public Commands, public ::testing::WithParamInterface<DownloadCase> {};

TEST_P(DownloadOrder, ReadsTheVariantsBlocksAndUploadWritesThemBack) {
    const DownloadCase& c = GetParam();
    bool full = c.variant == &variant_full;
    test::unload_main_window();
    test::load_main_window(*c.variant);
    init_registers();
    test::SimHarness sim({"--relays", "3", "--options", std::to_string(c.options), "--variant",
                          full ? "full" : "rtd", "--baud", "0"});
    connect_to(sim);
    EXPECT_EQ(test::status_text(), std::string("Connected: 3 relays, ") +
                                       (c.options & OPTION_DNP3 ? "DNP3" : "MODBUS") + " port, " +
                                       (c.options & OPTION_EVENTS ? "" : "no ") + "event memory.");
    click("Download");
    EXPECT_EQ(sim.log(), lines(c.blocks));
    EXPECT_EQ(test::status_text(), "Parameters downloaded.");
    sim.clear_log();
    click("Upload");
    EXPECT_TRUE(messages().empty());
    EXPECT_EQ(test::status_text(), "Parameters uploaded.");
    // The same blocks in the same order, with the values the controller had.
    Lines written = writes_in(sim.log());
    ASSERT_EQ(written.size(), lines(c.blocks).size());
    sim::Device reference({3, c.options, full ? sim::Variant::full : sim::Variant::rtd});
    for (size_t b = 0; b < written.size(); ++b) {
        Request w = parse(written[b]), r = parse(lines(c.blocks)[b]);
        EXPECT_EQ(std::tuple(w.kind, w.first, w.count), std::tuple('W', r.first, r.count));
        for (int k = 0; k < w.count && w.first < CLOCK_BLOCK.first; ++k)
            EXPECT_EQ(w.values.at(size_t(k)), reference.reg(uint16_t(w.first + k))) << written[b];
    }
}

INSTANTIATE_TEST_SUITE_P(
    Variants, DownloadOrder,
    ::testing::Values(DownloadCase{&variant_full, 0, FULL_3},
                      DownloadCase{&variant_full, 3,
                                   "R 0 3|R 20 3|R 120 3|R 140 3|R 40 3|R 60 3|R 80 3|R 100 3|"
                                   "R 160 3|R 200 14|R 300 2|R 340 8|R 400 6"},
                      DownloadCase{&variant_rtd, 0,
                                   "R 0 3|R 20 3|R 40 3|R 60 3|R 80 3|R 100 3|R 160 3|R 200 5|"
                                   "R 300 2|R 320 3|R 400 6"},
                      DownloadCase{&variant_rtd, 1,
                                   "R 0 3|R 20 3|R 40 3|R 60 3|R 80 3|R 100 3|R 160 3|R 200 5|"
                                   "R 300 2|R 340 8|R 400 6"}),
    [](const auto& info) {
        return std::string(info.param.variant->program) + "_" + std::to_string(info.param.options);
    });

TEST_F(Commands, ParameterWithoutValueStopsUploadBeforeAnyWrite) {
    test::SimHarness sim({"--relays", "3", "--baud", "0"});
    connect_to(sim);
    click("Download");
    sim.clear_log();
    set_register(61, 99);  // relay 2's associated channel: no row
    set_register(160, 99); // relay 1's associated function, reported first
    click("Upload");
    EXPECT_EQ(messages(), Lines{"Parameter 'Associated Function 1' not defined."});
    EXPECT_TRUE(sim.log().empty());
    EXPECT_TRUE(connected());
}

TEST_F(Commands, RelayCountsAtTheEdges) {
    {
        test::SimHarness sim({"--relays", "0", "--baud", "0"});
        connect_to(sim);
        click("Download");
        // A read of no registers is no request at all.
        EXPECT_EQ(sim.log(), lines("R 200 14|R 300 2|R 320 3|R 400 6"));
        EXPECT_FALSE(sensitive("SetPoint C 1"));
        EXPECT_TRUE(sensitive("DeltaT1"));
        set_register(207, 1);
        gchar* row = gtk_combo_box_get_active_text(GTK_COMBO_BOX(widget("AlternateActivation")));
        EXPECT_STREQ(row, "Only -3--2");
        g_free(row);
        gtk_toggle_tool_button_set_active(connect_button(), FALSE);
    }
    test::SimHarness sim({"--relays", "15", "--baud", "0"});
    connect_to(sim);
    click("Download");
    EXPECT_EQ(sim.log().front(), "R 0 15");
    sim.clear_log();
    click("Upload");
    EXPECT_TRUE(messages().empty());
    Lines written = writes_in(sim.log());
    ASSERT_EQ(written.size(), 13u);
    for (size_t b = 0; b < 9; ++b) // the relay blocks, for the relays that have widgets
        EXPECT_EQ(parse(written[b]).count, RELAYS_BOUND) << written[b];
}

TEST_F(Commands, ConnectFailures) {
    setenv("KELVRA_PORT", "/nonexistent/kelvra-port", 1);
    gtk_toggle_tool_button_set_active(connect_button(), TRUE);
    unsetenv("KELVRA_PORT");
    expect_disconnected({"Temperature controller not detected on the USB port."});
    test::close_dialogs();

    test::SimHarness sim({"--fault", "wrong-function", "--fault-address", "65520", "--baud", "0"});
    gtk_toggle_tool_button_set_active(connect_button(), TRUE);
    expect_disconnected({"Unknown communication error."});
    EXPECT_EQ(sim.log(), Lines{"R 65520 9"});
}

TEST_F(Commands, FailedBlockEndsTheDownloadAndKeepsWhatWasRead) {
    test::SimHarness sim(
        {"--relays", "3", "--fault", "no-reply", "--fault-address", "300", "--baud", "0"});
    connect_to(sim);
    click("Download");
    // Up to block 300, which the link sends twice; nothing after it.
    Lines expected = lines(FULL_3);
    expected.resize(11);
    expected.push_back("R 300 2");
    EXPECT_EQ(sim.log(), expected);
    expect_disconnected({"Communication error -- check your USB connection."});
    EXPECT_EQ(shown("SetPoint C 3"), 100);
    EXPECT_EQ(shown("DeltaT1"), 20);
}

TEST_F(Commands, ReleaseAndSerialError) {
    test::SimHarness sim({"--relays", "3", "--baud", "0"});
    connect_to(sim);
    for (const char* name :
         {"Download", "Upload", "menu_events", "SetPoint C 3", "Date", "DailyCoolingStartMinute"})
        EXPECT_TRUE(sensitive(name)) << name;
    EXPECT_FALSE(sensitive("SetPoint C 4")); // a relay the device does not have
    EXPECT_FALSE(sensitive("DNP3Address"));  // nor its port
    click("Download");
    for (int code : {1, -3})
        serial_error(code);
    EXPECT_TRUE(connected());
    gtk_toggle_tool_button_set_active(connect_button(), FALSE);
    expect_disconnected({});
    EXPECT_EQ(shown("SetPoint C 2"), 90);

    gtk_toggle_tool_button_set_active(connect_button(), TRUE);
    serial_error(0);
    expect_disconnected({"Communication error -- check your USB connection."});
    test::close_dialogs();
    serial_error(-1); // already released: the message only
    EXPECT_EQ(messages(), Lines{"Protocol error -- equipment is incompatible with this software."});
    EXPECT_FALSE(connected());
}

// What the nested event dispatch of a running download delivers.
struct Interference {
    bool during_transfer = false;
    Lines sensitive_commands;
};

gboolean interfere(gpointer data) {
    auto* seen = static_cast<Interference*>(data);
    seen->during_transfer = transfer_running();
    for (const char* name : COMMANDS)
        if (sensitive(name))
            seen->sensitive_commands.push_back(name);
    click("Download");
    click("Upload");
    gtk_toggle_tool_button_set_active(connect_button(), FALSE);
    // Even a handler reached some other way does nothing.
    on_button_download_clicked(nullptr, nullptr);
    on_button_upload_clicked(nullptr, nullptr);
    return FALSE;
}

TEST_F(Commands, CommandsArrivingDuringATransferAreRefused) {
    test::SimHarness sim({"--relays", "3"}); // paced at 115200 baud
    connect_to(sim);
    Interference seen;
    g_idle_add(interfere, &seen);
    click("Download");
    EXPECT_TRUE(seen.during_transfer);
    EXPECT_EQ(seen.sensitive_commands, Lines{});
    EXPECT_EQ(sim.log(), lines(FULL_3));
    EXPECT_TRUE(messages().empty());
    EXPECT_TRUE(connected());
    for (const char* name : COMMANDS)
        EXPECT_TRUE(sensitive(name)) << name;
    uint16_t v[2];
    EXPECT_EQ(read_registers(300, 2, v), 1);
}

} // namespace
