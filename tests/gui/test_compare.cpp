// Compare with the controller and with a file, Upload's confirmation and its read-back: through
// the real window against kelvra-sim, checked against the requests the simulator received.
#include "gui/compare.h"
#include "gui/config.h"
#include "gui/params.h"
#include "link/serial.h"
#include "support/sim_harness.h"
#include "support/window.h"

#include <algorithm>
#include <ctime>
#include <map>

namespace {

using Lines = std::vector<std::string>;
using test::click;
using test::widget;

GtkWidget* standing(const char* name) {
    for (GtkWidget* d : test::standing_dialogs())
        if (g_str_equal(gtk_widget_get_name(d), name))
            return d;
    return nullptr;
}

// The standing differences dialog: its heading and rows; answered and gone afterwards.
Lines listed() {
    GtkWidget* d = standing("compare_dialog");
    if (!d)
        return {"no dialog"};
    Lines out{test::dialog_text(d)};
    for (const std::string& row : test::difference_rows(d))
        out.push_back(row);
    gtk_dialog_response(GTK_DIALOG(d), GTK_RESPONSE_OK);
    test::flush_events();
    return out;
}

bool writes(const Lines& log) {
    return std::any_of(log.begin(), log.end(), [](const std::string& l) { return l[0] == 'W'; });
}

class Compare : public test::GuiTest {
  protected:
    void SetUp() override {
        GuiTest::SetUp();
        test::load_main_window(variant_full);
        init_registers();
    }
    void TearDown() override {
        serial_close();
        GuiTest::TearDown();
    }
    void connect_and_download(test::SimHarness& sim) {
        ASSERT_TRUE(sim.started());
        gtk_toggle_tool_button_set_active(GTK_TOGGLE_TOOL_BUTTON(widget("Connect")), TRUE);
        click("Download");
        ASSERT_EQ(test::messages(), Lines{});
        sim.clear_log();
    }
    void compare_with_controller() {
        gtk_menu_item_activate(GTK_MENU_ITEM(widget("menu_comparedevice")));
    }
};

TEST_F(Compare, WithTheControllerAndWithAFile) {
    test::SimHarness sim({"--relays", "4", "--baud", "0"});
    connect_and_download(sim);
    compare_with_controller();
    EXPECT_EQ(listed(), Lines{"No differences."});
    EXPECT_FALSE(writes(sim.log()));

    test::TempDir dir;
    save_config(dir.path("a.cfg").c_str());
    gtk_spin_button_set_value(GTK_SPIN_BUTTON(widget("SetPoint C 2")), 95);
    gtk_combo_box_set_active(GTK_COMBO_BOX(widget("MODBUSBaudRate")), 4);
    compare_with_controller();
    Lines expected{"The window and the controller differ in:", "Relays",
                   "Relays|Set Point (°C) 2|95|90", "Communication",
                   "Communication|MODBUS Baud Rate|19200|1200"};
    EXPECT_EQ(listed(), expected);
    // Read without touching the window.
    EXPECT_EQ(test::register_values({1})[1], 95);
    EXPECT_FALSE(writes(sim.log()));

    // Against the file saved before the edits; also once disconnected, in the file's layout.
    for (bool connected : {true, false}) {
        if (!connected)
            gtk_toggle_tool_button_set_active(GTK_TOGGLE_TOOL_BUTTON(widget("Connect")), FALSE);
        test::choose("menu_comparefile", dir.path("a.cfg"));
        expected[0] = "The window and the file differ in:";
        EXPECT_EQ(listed(), expected) << connected;
    }
}

TEST_F(Compare, UploadAsksFirstAndReadsBack) {
    test::SimHarness sim({"--relays", "2", "--baud", "0", "--clamp", "1:92"});
    connect_and_download(sim);
    // Nothing changed: nothing to write, and it says so.
    click("Upload");
    EXPECT_EQ(listed(), Lines{"No differences."});
    EXPECT_FALSE(writes(sim.log()));

    gtk_spin_button_set_value(GTK_SPIN_BUTTON(widget("SetPoint C 2")), 95);
    Lines asked;
    auto look = [&asked](GtkWidget* d) { asked = test::difference_rows(d); };
    test::respond([] { click("Upload"); }, "compare_dialog", GTK_RESPONSE_CANCEL, look);
    EXPECT_EQ(asked, (Lines{"Relays", "Relays|Set Point (°C) 2|95|90"}));
    EXPECT_FALSE(writes(sim.log())) << "cancelled";

    // Accepted: written, read back, and the value the controller clamped is reported.
    sim.clear_log();
    test::respond([] { click("Upload"); }, "compare_dialog", GTK_RESPONSE_ACCEPT,
                  [](GtkWidget* d) {
                      gtk_toggle_button_set_active(
                          GTK_TOGGLE_BUTTON(g_object_get_data(G_OBJECT(d), "dont_ask")), TRUE);
                  });
    Lines log = sim.log();
    EXPECT_EQ(log.front(), "R 0 2") << "the controller's values, read before";
    EXPECT_EQ(std::count_if(log.begin(), log.end(), [](auto& l) { return l[0] == 'W'; }), 13);
    EXPECT_EQ(log.back(), "R 320 3") << "the last block read back (not the clock)";
    EXPECT_EQ(listed(), (Lines{"The controller kept a different value for 1 parameter.", "Relays",
                               "Relays|Set Point (°C) 2|95|92"}));
    EXPECT_TRUE(gtk_toggle_tool_button_get_active(GTK_TOGGLE_TOOL_BUTTON(widget("Connect"))));

    // "Do not ask again": the next upload writes at once.
    sim.clear_log();
    click("Upload");
    EXPECT_EQ(sim.log().front().substr(0, 6), "W 0 2 ");
    EXPECT_EQ(test::messages().size(), 1u); // the clamp, reported again
}

// Even with the confirmation turned off, a clock more than a minute off is said before it is
// sent; "Set to computer time" puts it right.
TEST_F(Compare, AStaleClockIsNeverSentUnnoticed) {
    test::SimHarness sim({"--relays", "2", "--baud", "0"});
    connect_and_download(sim);
    confirm_uploads = false;
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    set_register(400, static_cast<uint16_t>((local.tm_hour + 2) % 24));
    std::string heading;
    test::respond([] { click("Upload"); }, "compare_dialog", GTK_RESPONSE_CANCEL,
                  [&heading](GtkWidget* d) { heading = test::dialog_text(d); });
    EXPECT_NE(heading.find("more than a minute off this computer's time"), std::string::npos)
        << heading;
    EXPECT_FALSE(writes(sim.log()));

    gtk_button_clicked(GTK_BUTTON(widget("SetClockNow")));
    std::map<int, uint16_t> shown = test::register_values({400, 401, 403, 404, 405});
    EXPECT_EQ(shown[400], local.tm_hour);
    EXPECT_EQ(shown[403] * 10000 + shown[404] * 100 + shown[405],
              local.tm_mday * 10000 + (local.tm_mon + 1) * 100 + local.tm_year - 100);
    click("Upload"); // asks nothing now
    EXPECT_TRUE(writes(sim.log()));
    EXPECT_EQ(test::messages(), Lines{});
}

// Every fault the simulator injects into the reads of Compare and of the read-back: the
// worded message and a clean Disconnected state.
struct FaultCase {
    const char* fault;
    const char* message;
    bool read_back;
};

class CompareFaults : public Compare, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(CompareFaults, EndInTheMessageAndDisconnected) {
    const FaultCase& c = GetParam();
    // The read-back's read of block 200 comes after its write.
    test::SimHarness sim({"--relays", "2", "--baud", "0", "--fault", c.fault, "--fault-address",
                          "200", "--fault-skip", c.read_back ? "2" : "1"});
    connect_and_download(sim);
    if (c.read_back) {
        confirm_uploads = false;
        click("Upload");
    } else {
        compare_with_controller();
    }
    EXPECT_EQ(test::messages(), Lines{c.message});
    EXPECT_FALSE(gtk_toggle_tool_button_get_active(GTK_TOGGLE_TOOL_BUTTON(widget("Connect"))));
    EXPECT_FALSE(GTK_WIDGET_SENSITIVE(widget("Download")));
    EXPECT_FALSE(serial_is_open());
    EXPECT_EQ(standing("compare_dialog"), nullptr);
}

std::vector<FaultCase> fault_cases() {
    const char* comm = "Communication error -- check your USB connection.";
    const char* unknown = "Unknown communication error.";
    std::vector<FaultCase> out;
    for (bool read_back : {false, true}) {
        for (const char* f : {"no-reply", "bad-crc", "stray-byte", "hangup"})
            out.push_back({f, comm, read_back});
        for (const char* f :
             {"short-reply", "long-reply", "wrong-slave", "wrong-function", "wrong-count"})
            out.push_back({f, unknown, read_back});
        out.push_back({"exception",
                       "Protocol error -- equipment is incompatible with this software.",
                       read_back});
    }
    return out;
}

INSTANTIATE_TEST_SUITE_P(Injected, CompareFaults, ::testing::ValuesIn(fault_cases()),
                         [](const auto& info) {
                             std::string name =
                                 std::string(info.param.read_back ? "ReadBack_" : "Compare_") +
                                 info.param.fault;
                             std::replace(name.begin(), name.end(), '-', '_');
                             return name;
                         });

} // namespace
