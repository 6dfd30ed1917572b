// Connect, Download, Upload and the link failure messages: the real window, its buttons, and
// kelvra-sim on a pseudo-terminal, checked against the requests the simulator received.
#include "commands.h"
#include "device.h"
#include "registers.h"
#include "serial.h"
#include "sim_harness.h"
#include "support.h"
#include "transfer.h"

#include <cstdlib>
#include <map>
#include <sstream>

namespace {

GtkWidget* widget(const char* name) {
    GtkWidget* w = glade_xml_get_widget(glade_xml, name);
    EXPECT_NE(w, nullptr) << name;
    return w;
}

GtkToggleToolButton* connect_button() {
    return GTK_TOGGLE_TOOL_BUTTON(widget("Connect"));
}

bool connected() {
    return gtk_toggle_tool_button_get_active(connect_button());
}

std::string icon() {
    return gtk_tool_button_get_stock_id(GTK_TOOL_BUTTON(connect_button()));
}

bool sensitive(const char* name) {
    return GTK_WIDGET_SENSITIVE(widget(name));
}

// A press of a tool button, through the button inside it.
void click(const char* name) {
    gtk_button_clicked(GTK_BUTTON(gtk_bin_get_child(GTK_BIN(widget(name)))));
}

std::vector<std::string> messages() {
    std::vector<std::string> out;
    for (GtkWidget* d : test::standing_dialogs())
        out.push_back(test::dialog_text(d));
    return out;
}

struct Request {
    char kind;
    int first, count;
    std::vector<uint16_t> values;
};

Request parse(const std::string& line) {
    std::istringstream in(line);
    Request r{};
    in >> r.kind >> r.first >> r.count;
    for (int v; in >> v;)
        r.values.push_back(static_cast<uint16_t>(v));
    return r;
}

// "R first count" for every block a download of this device reads, in order.
std::vector<std::string> download_lines(const std::vector<std::pair<int, int>>& blocks) {
    std::vector<std::string> out;
    for (auto [first, count] : blocks)
        out.push_back("R " + std::to_string(first) + " " + std::to_string(count));
    return out;
}

const std::vector<std::pair<int, int>> FULL_3_MODBUS = {
    {0, 3},   {20, 3},  {120, 3},  {140, 3}, {40, 3},  {60, 3}, {80, 3},
    {100, 3}, {160, 3}, {200, 14}, {300, 2}, {320, 3}, {400, 6}};

class Commands : public test::GuiTest {
  protected:
    void open_window(const Variant& v) {
        test::load_main_window(v);
        init_registers();
    }
    void SetUp() override {
        GuiTest::SetUp();
        open_window(variant_full);
    }
    void TearDown() override {
        if (glade_xml && connected())
            gtk_toggle_tool_button_set_active(connect_button(), FALSE);
        GuiTest::TearDown();
    }
    // Connects to the simulator and leaves only what follows the identification in its log.
    void connect_to(test::SimHarness& sim) {
        ASSERT_TRUE(sim.started());
        gtk_toggle_tool_button_set_active(connect_button(), TRUE);
        ASSERT_TRUE(connected()) << ::testing::PrintToString(messages());
        EXPECT_EQ(sim.log(), std::vector<std::string>{"R 65520 9"});
        sim.clear_log();
    }
};

struct DownloadCase {
    const Variant* variant;
    const char* sim_variant;
    int options;
    std::vector<std::pair<int, int>> blocks;
};

class DownloadOrder : public Commands, public ::testing::WithParamInterface<DownloadCase> {
  protected:
    void SetUp() override {
        GuiTest::SetUp();
        open_window(*GetParam().variant);
    }
};

TEST_P(DownloadOrder, ReadsTheVariantsBlocksAndUploadWritesThemBack) {
    const DownloadCase& c = GetParam();
    std::string opt = std::to_string(c.options);
    test::SimHarness sim(
        {"--relays", "3", "--options", opt, "--variant", c.sim_variant, "--baud", "0"});
    connect_to(sim);
    EXPECT_EQ(nrelays, 3);
    EXPECT_EQ(options, c.options);
    click("Download");
    EXPECT_EQ(sim.log(), download_lines(c.blocks));
    EXPECT_TRUE(messages().empty());
    sim.clear_log();

    click("Upload");
    EXPECT_TRUE(messages().empty());
    std::vector<std::string> lines = sim.log();
    ASSERT_EQ(lines.size(), c.blocks.size());
    sim::Device reference(
        {3, c.options, c.variant == &variant_full ? sim::Variant::full : sim::Variant::rtd});
    for (size_t b = 0; b < lines.size(); ++b) {
        Request r = parse(lines[b]);
        EXPECT_EQ(r.kind, 'W') << lines[b];
        EXPECT_EQ(std::pair(r.first, r.count), c.blocks[b]) << lines[b];
        ASSERT_EQ(r.values.size(), static_cast<size_t>(r.count)) << lines[b];
        for (int k = 0; k < r.count; ++k) {
            uint16_t address = static_cast<uint16_t>(r.first + k);
            // The clock was read at the simulator's start, not at the reference's.
            if (address < CLOCK_BLOCK.first) {
                EXPECT_EQ(r.values[k], reference.reg(address)) << "register " << address;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Variants, DownloadOrder,
                         ::testing::Values(DownloadCase{&variant_full, "full", 0, FULL_3_MODBUS},
                                           DownloadCase{&variant_full,
                                                        "full",
                                                        3,
                                                        {{0, 3},
                                                         {20, 3},
                                                         {120, 3},
                                                         {140, 3},
                                                         {40, 3},
                                                         {60, 3},
                                                         {80, 3},
                                                         {100, 3},
                                                         {160, 3},
                                                         {200, 14},
                                                         {300, 2},
                                                         {340, 8},
                                                         {400, 6}}},
                                           DownloadCase{&variant_rtd,
                                                        "rtd",
                                                        0,
                                                        {{0, 3},
                                                         {20, 3},
                                                         {40, 3},
                                                         {60, 3},
                                                         {80, 3},
                                                         {100, 3},
                                                         {160, 3},
                                                         {200, 5},
                                                         {300, 2},
                                                         {320, 3},
                                                         {400, 6}}},
                                           DownloadCase{&variant_rtd,
                                                        "rtd",
                                                        1,
                                                        {{0, 3},
                                                         {20, 3},
                                                         {40, 3},
                                                         {60, 3},
                                                         {80, 3},
                                                         {100, 3},
                                                         {160, 3},
                                                         {200, 5},
                                                         {300, 2},
                                                         {340, 8},
                                                         {400, 6}}}),
                         [](const auto& info) {
                             return std::string(info.param.variant->program) + "_options" +
                                    std::to_string(info.param.options);
                         });

TEST_F(Commands, EditsReachTheControllerScaled) {
    test::SimHarness sim({"--relays", "3", "--baud", "0"});
    connect_to(sim);
    click("Download");
    sim.clear_log();
    struct Edit {
        const char* widget;
        const char* typed;
        int address;
        uint16_t sent;
    } edits[] = {
        {"Timeout 1", "12.3", 40, 123},
        {"Timeout 2", "0.5", 41, 5},
        {"In1", "4.5", 204, 45},
        {"tau", "1.0", 208, 0}, // the tau rule runs as the typed text is taken over
        {"m", "0.7", 209, 7},
        {"DailyCoolingStartMinute", "45", 211, 2 * 60 + 45},
    };
    for (const Edit& e : edits)
        gtk_entry_set_text(GTK_ENTRY(widget(e.widget)), e.typed);
    click("Upload");
    std::map<int, uint16_t> written;
    for (const std::string& line : sim.log()) {
        Request r = parse(line);
        for (int k = 0; k < r.count; ++k)
            written[r.first + k] = r.values[static_cast<size_t>(k)];
    }
    for (const Edit& e : edits)
        EXPECT_EQ(written[e.address], e.sent) << e.widget;

    // What was written is what the controller now gives back.
    gtk_spin_button_set_value(GTK_SPIN_BUTTON(widget("Timeout 1")), 0);
    click("Download");
    EXPECT_DOUBLE_EQ(gtk_spin_button_get_value(GTK_SPIN_BUTTON(widget("Timeout 1"))), 12.3);
    EXPECT_TRUE(messages().empty());
}

TEST_F(Commands, ParameterWithoutValueStopsUploadBeforeAnyWrite) {
    test::SimHarness sim({"--relays", "3", "--baud", "0"});
    connect_to(sim);
    click("Download");
    sim.clear_log();
    set_register(61, 99);  // relay 2's associated channel: no row
    set_register(160, 99); // relay 1's associated function: no row, and reported first
    click("Upload");
    EXPECT_EQ(messages(),
              std::vector<std::string>{"Parameter 'Associated Function 1' not defined."});
    EXPECT_TRUE(sim.log().empty());
    EXPECT_TRUE(connected());
    EXPECT_TRUE(sensitive("Upload"));
}

TEST_F(Commands, RelayCountsAtTheEdges) {
    {
        test::SimHarness sim({"--relays", "0", "--baud", "0"});
        connect_to(sim);
        click("Download");
        // A read of no registers is no request at all.
        EXPECT_EQ(sim.log(), download_lines({{200, 14}, {300, 2}, {320, 3}, {400, 6}}));
        EXPECT_FALSE(kelvra_register[0].enabled);
        EXPECT_FALSE(sensitive("SetPoint C 1"));
        EXPECT_TRUE(sensitive("DeltaT1"));
        gtk_toggle_tool_button_set_active(connect_button(), FALSE);
    }
    test::SimHarness sim({"--relays", "15", "--baud", "0"});
    connect_to(sim);
    EXPECT_EQ(nrelays, 15);
    EXPECT_TRUE(kelvra_register[14].enabled);
    click("Download");
    EXPECT_EQ(parse(sim.log().front()).count, 15);
    sim.clear_log();
    click("Upload");
    EXPECT_TRUE(messages().empty());
    std::vector<std::string> lines = sim.log();
    ASSERT_EQ(lines.size(), FULL_3_MODBUS.size());
    for (size_t b = 0; b < 9; ++b) // the relay blocks, for the relays that have widgets
        EXPECT_EQ(parse(lines[b]).count, RELAYS_BOUND) << lines[b];
}

TEST_F(Commands, ConnectWithoutController) {
    setenv("KELVRA_PORT", "/nonexistent/kelvra-port", 1);
    gtk_toggle_tool_button_set_active(connect_button(), TRUE);
    unsetenv("KELVRA_PORT");
    EXPECT_EQ(messages(),
              std::vector<std::string>{"Temperature controller not detected on the USB port."});
    EXPECT_FALSE(connected());
    EXPECT_EQ(icon(), "gtk-disconnect");
    EXPECT_TRUE(sensitive("Connect"));
    for (const char* name : {"Download", "Upload", "menu_events", "DeltaT1"})
        EXPECT_FALSE(sensitive(name)) << name;
}

TEST_F(Commands, FailedIdentificationEndsTheConnection) {
    test::SimHarness sim({"--fault", "wrong-function", "--fault-address", "65520", "--baud", "0"});
    ASSERT_TRUE(sim.started());
    gtk_toggle_tool_button_set_active(connect_button(), TRUE);
    EXPECT_EQ(messages(), std::vector<std::string>{"Unknown communication error."});
    EXPECT_FALSE(connected());
    EXPECT_EQ(icon(), "gtk-disconnect");
    EXPECT_TRUE(sensitive("Connect"));
    EXPECT_FALSE(sensitive("Download"));
    // The link is closed: a request now reaches nobody.
    uint16_t v;
    EXPECT_EQ(read_registers(0, 1, &v), 0);
    EXPECT_EQ(sim.log(), std::vector<std::string>{"R 65520 9"});
}

TEST_F(Commands, DownloadStopsAtTheFailedBlockAndKeepsWhatItRead) {
    test::SimHarness sim(
        {"--relays", "3", "--fault", "no-reply", "--fault-address", "300", "--baud", "0"});
    connect_to(sim);
    EXPECT_EQ(icon(), "gtk-connect");
    click("Download");
    std::vector<std::string> expected = download_lines(
        std::vector<std::pair<int, int>>(FULL_3_MODBUS.begin(), FULL_3_MODBUS.begin() + 11));
    expected.push_back("R 300 2"); // the link's second attempt
    EXPECT_EQ(sim.log(), expected);
    EXPECT_EQ(messages(),
              std::vector<std::string>{"Communication error -- check your USB connection."});
    EXPECT_FALSE(connected());
    EXPECT_EQ(icon(), "gtk-disconnect");
    for (const char* name : {"SetPoint C 1", "DeltaT1", "Download", "Upload", "menu_events"})
        EXPECT_FALSE(sensitive(name)) << name;
    // The blocks before the failure stay shown: set points 80, 90, 100 and Delta T1 20.
    EXPECT_EQ(gtk_spin_button_get_value_as_int(GTK_SPIN_BUTTON(widget("SetPoint C 3"))), 100);
    EXPECT_EQ(gtk_spin_button_get_value_as_int(GTK_SPIN_BUTTON(widget("DeltaT1"))), 20);
}

TEST_F(Commands, ExceptionToAWriteEndsTheConnection) {
    test::SimHarness sim(
        {"--relays", "3", "--fault", "exception", "--fault-address", "20", "--baud", "0"});
    connect_to(sim);
    for (uint16_t a : validation_order(*variant, nrelays, options))
        set_register(a, kelvra_register[a].kind == REGISTER_COMBO_BOX ? 0 : 1);
    click("Upload");
    ASSERT_EQ(sim.log().size(), 2u);
    EXPECT_EQ(sim.log()[0], "W 0 3 1 1 1");
    EXPECT_EQ(messages(), std::vector<std::string>{
                              "Protocol error -- equipment is incompatible with this software."});
    EXPECT_FALSE(connected());
    EXPECT_FALSE(sensitive("Upload"));
}

TEST_F(Commands, ReleaseClosesTheLinkAndKeepsTheValues) {
    test::SimHarness sim({"--relays", "3", "--baud", "0"});
    connect_to(sim);
    for (const char* name : {"Download", "Upload", "menu_events", "SetPoint C 3", "Date"})
        EXPECT_TRUE(sensitive(name)) << name;
    EXPECT_FALSE(sensitive("SetPoint C 4")); // a relay the device does not have
    EXPECT_FALSE(sensitive("DNP3Address"));  // nor its port
    click("Download");
    sim.clear_log();
    gtk_toggle_tool_button_set_active(connect_button(), FALSE);
    EXPECT_EQ(icon(), "gtk-disconnect");
    for (const char* name : {"Download", "Upload", "menu_events", "SetPoint C 3", "Date"})
        EXPECT_FALSE(sensitive(name)) << name;
    EXPECT_EQ(gtk_spin_button_get_value_as_int(GTK_SPIN_BUTTON(widget("SetPoint C 2"))), 90);
    uint16_t v;
    EXPECT_EQ(read_registers(0, 1, &v), 0);
    EXPECT_TRUE(sim.log().empty());
    EXPECT_TRUE(messages().empty());
}

TEST_F(Commands, SerialErrorWordsTheCodeAndReleasesConnect) {
    test::SimHarness sim({"--relays", "3", "--baud", "0"});
    connect_to(sim);
    for (int code : {1, -3, 2}) {
        serial_error(code);
        EXPECT_TRUE(messages().empty()) << code;
        EXPECT_TRUE(connected()) << code;
    }
    serial_error(0);
    EXPECT_EQ(messages(),
              std::vector<std::string>{"Communication error -- check your USB connection."});
    EXPECT_FALSE(connected());
    EXPECT_FALSE(sensitive("Download"));
    test::close_dialogs();
    serial_error(-1); // already released: the message only
    EXPECT_EQ(messages(), std::vector<std::string>{
                              "Protocol error -- equipment is incompatible with this software."});
    EXPECT_FALSE(connected());
    EXPECT_TRUE(sim.log().empty());
}

// What the nested event dispatch of a running download delivers.
struct Interference {
    bool ran = false;
    bool during_transfer = false;
    std::vector<std::string> sensitive_commands;
};

gboolean interfere(gpointer data) {
    auto* seen = static_cast<Interference*>(data);
    seen->ran = true;
    seen->during_transfer = transfer_running();
    for (const char* name : {"Connect", "Download", "Upload", "menu_events", "menu_openconfig",
                             "menu_saveconfig", "menu_about"})
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
    ASSERT_TRUE(seen.ran);
    EXPECT_TRUE(seen.during_transfer);
    EXPECT_TRUE(seen.sensitive_commands.empty())
        << ::testing::PrintToString(seen.sensitive_commands);
    EXPECT_EQ(sim.log(), download_lines(FULL_3_MODBUS));
    EXPECT_TRUE(messages().empty());
    EXPECT_TRUE(connected());
    EXPECT_EQ(icon(), "gtk-connect");
    for (const char* name : {"Connect", "Download", "Upload", "menu_events", "menu_openconfig",
                             "menu_saveconfig", "menu_about"})
        EXPECT_TRUE(sensitive(name)) << name;
    // The link stayed open under the download.
    sim.clear_log();
    uint16_t v[2];
    EXPECT_EQ(read_registers(300, 2, v), 1);
    EXPECT_EQ(v[1], 150);
}

} // namespace
