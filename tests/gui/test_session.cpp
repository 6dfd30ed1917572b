// One whole working session on the real window against kelvra-sim, in the order a field
// engineer works: connect, download, edit, upload, save a configuration, open it again,
// export the event memory, disconnect. Each step is checked by what it leaves behind: the
// simulator's request log and registers, the file reopened into the widgets, the CSV, the
// final state. Run under the sanitizers, it is also the memory check of a whole session.
#include "formats/configfile.h"
#include "gui/config.h"
#include "gui/params.h"
#include "gui/transfer.h"
#include "link/serial.h"
#include "support/sim_harness.h"
#include "support/window.h"

#include <fstream>
#include <glib/gstdio.h>
#include <map>
#include <sstream>

namespace {

using Lines = std::vector<std::string>;

using test::click;
using test::messages;
using test::status_text;
using test::widget;
bool connected() {
    return gtk_toggle_tool_button_get_active(GTK_TOGGLE_TOOL_BUTTON(widget("Connect")));
}
// Every register a request of the log wrote, with its last value.
std::map<int, uint16_t> written(const Lines& log) {
    std::map<int, uint16_t> out;
    for (const std::string& line : log) {
        std::istringstream in(line);
        char kind;
        int first, count;
        in >> kind >> first >> count;
        for (int k = 0, v; kind == 'W' && k < count && in >> v; ++k)
            out[first + k] = static_cast<uint16_t>(v);
    }
    return out;
}
Lines reads_of(const std::vector<Block>& blocks) {
    Lines out;
    for (const Block& b : blocks)
        if (b.count)
            out.push_back("R " + std::to_string(b.first) + " " + std::to_string(b.count));
    return out;
}

struct SessionCase {
    const Variant* variant;
    const char* sim_variant;
    int cooling_address; // of DailyCoolingDuration, a general setting
};

void PrintTo(const SessionCase& c, std::ostream* os) {
    *os << c.sim_variant;
}

class Session : public test::GuiTest, public ::testing::WithParamInterface<SessionCase> {
  protected:
    void SetUp() override {
        GuiTest::SetUp();
        gchar* d = g_dir_make_tmp("kelvra-session-XXXXXX", nullptr);
        ASSERT_NE(d, nullptr);
        dir_ = d;
        g_free(d);
        g_mkdir_with_parents(g_get_user_data_dir(), 0700); // the choosers' recent files
        test::load_main_window(*GetParam().variant);
        init_registers();
    }
    void TearDown() override {
        serial_close();
        g_free(config_filename);
        config_filename = nullptr;
        GuiTest::TearDown();
        for (const char* name : {"session.cfg", "events.csv"})
            g_unlink(path(name).c_str());
        g_rmdir(dir_.c_str());
    }
    void through_chooser(const char* menu_item, const char* name) {
        test::choose(menu_item, path(name));
    }
    std::string path(const char* name) const { return dir_ + "/" + name; }
    std::string dir_;
};

TEST_P(Session, ConnectDownloadEditUploadSaveOpenExportDisconnect) {
    const SessionCase& c = GetParam();
    test::SimHarness sim({"--relays", "4", "--variant", c.sim_variant, "--baud", "0"});
    ASSERT_TRUE(sim.started());

    click("Connect");
    ASSERT_TRUE(connected()) << ::testing::PrintToString(messages());
    EXPECT_EQ(sim.log(), Lines{"R 65520 9"});
    sim.clear_log();

    click("Download");
    std::vector<Block> blocks = transfer_blocks(*c.variant, 4, OPTION_EVENTS, true);
    EXPECT_EQ(sim.log(), reads_of(blocks));
    sim.clear_log();

    // Typed into spin buttons and picked in a combo box, then uploaded.
    const struct {
        const char* widget;
        const char* typed;
        int address;
        uint16_t raw;
    } edits[] = {{"SetPoint C 2", "95", 1, 95},
                 {"Timeout 4", "12.3", 43, 123},
                 {"DailyCoolingDuration", "45", c.cooling_address, 45},
                 {"MODBUSAddress", "17", 322, 17},
                 {"Forced Activation 3", nullptr, 82, 1}};
    for (const auto& e : edits) {
        if (e.typed)
            gtk_entry_set_text(GTK_ENTRY(widget(e.widget)), e.typed);
        else
            gtk_combo_box_set_active(GTK_COMBO_BOX(widget(e.widget)), e.raw);
    }
    // Upload lists the changes first, the set point among them, and asks.
    Lines listed;
    test::respond([] { click("Upload"); }, "compare_dialog", GTK_RESPONSE_ACCEPT,
                  [&listed](GtkWidget* d) { listed = test::difference_rows(d); });
    EXPECT_EQ(
        std::count_if(listed.begin(), listed.end(),
                      [](const std::string& r) { return r.ends_with("|Set Point (°C) 2|95|90"); }),
        1)
        << ::testing::PrintToString(listed);
    EXPECT_EQ(messages(), Lines{});
    Lines log;
    for (const std::string& line : sim.log())
        if (line[0] == 'W')
            log.push_back(line);
    ASSERT_EQ(log.size(), blocks.size());
    std::map<int, uint16_t> sent = written(log);
    for (const auto& e : edits) {
        EXPECT_EQ(sent[e.address], e.raw) << e.widget;
        uint16_t held = 0; // what the controller holds now
        EXPECT_EQ(read_registers(uint16_t(e.address), 1, &held), LINK_OK);
        EXPECT_EQ(held, e.raw) << e.widget;
    }

    // Saved, overwritten in the window, opened again: the same values in the same widgets.
    std::vector<uint16_t> addresses = config_addresses(*c.variant, 4, OPTION_EVENTS);
    std::map<int, uint16_t> before = test::register_values(addresses);
    through_chooser("menu_saveconfig", "session.cfg");
    EXPECT_STREQ(config_filename, path("session.cfg").c_str());
    for (uint16_t a : addresses)
        set_register(a, before[a] ? 0 : 1);
    through_chooser("menu_openconfig", "session.cfg");
    EXPECT_EQ(messages(), Lines{});
    EXPECT_EQ(test::register_values(addresses), before);

    sim.clear_log();
    through_chooser("menu_events", "events.csv");
    EXPECT_EQ(messages(), Lines{});
    EXPECT_EQ(sim.log(), Lines{"R 65504 1"});
    std::ifstream csv(path("events.csv"));
    long lines = 0;
    for (std::string line; std::getline(csv, line);)
        ++lines;
    EXPECT_EQ(lines, 3585); // heading and 3584 records
    EXPECT_EQ(status_text(), "Finished downloading events.");

    click("Connect");
    EXPECT_FALSE(connected());
    EXPECT_EQ(gtk_tool_button_get_stock_id(GTK_TOOL_BUTTON(widget("Connect"))),
              std::string("gtk-disconnect"));
    for (const char* name : {"Download", "Upload", "menu_events", "SetPoint C 1"})
        EXPECT_FALSE(GTK_WIDGET_SENSITIVE(widget(name))) << name;
    uint16_t v;
    EXPECT_EQ(read_registers(0, 1, &v), 0) << "the link is closed";
    EXPECT_EQ(messages(), Lines{});
}

INSTANTIATE_TEST_SUITE_P(Variants, Session,
                         ::testing::Values(SessionCase{&variant_full, "full", 212},
                                           SessionCase{&variant_rtd, "rtd", 204}),
                         [](const auto& info) { return std::string(info.param.sim_variant); });

} // namespace
