// One whole working session on the real window against kelvra-sim, in the order a field
// engineer works: connect, download, edit, upload, save a configuration, open it again,
// export the event memory, disconnect; then kelvra-cli, against the same controller, must write
// the files the window wrote. Each step is checked by what it leaves behind: the simulator's
// request log and registers, the file reopened into the widgets, the CSV, the final state. Run
// under the sanitizers, it is also the memory check of a whole session.
#include "formats/configfile.h"
#include "gui/config.h"
#include "gui/params.h"
#include "gui/transfer.h"
#include "link/serial.h"
#include "support/sim_harness.h"
#include "support/window.h"

#include <cairo.h>
#include <ctime>
#include <map>

namespace {

using Lines = std::vector<std::string>;

using test::click;
using test::slurp;
using test::widget;

long seconds_of_day(std::time_t t) {
    std::tm tm{};
    localtime_r(&t, &tm);
    return tm.tm_hour * 3600L + tm.tm_min * 60L + tm.tm_sec;
}

// What the window showed each time the event download reported progress.
struct ProgressSeen {
    std::vector<double> fractions;
    int idle = 0; // reports with the bar hidden or a command offered
    std::string status;
};
void on_fraction(GObject* bar, GParamSpec*, gpointer data) {
    auto* seen = static_cast<ProgressSeen*>(data);
    seen->fractions.push_back(gtk_progress_bar_get_fraction(GTK_PROGRESS_BAR(bar)));
    seen->idle += !GTK_WIDGET_VISIBLE(GTK_WIDGET(bar));
    for (const char* name :
         {"Download", "Upload", "menu_events", "menu_saveconfig", "menu_openconfig", "Connect"})
        seen->idle += GTK_WIDGET_SENSITIVE(widget(name));
    seen->status = test::status_text();
}

struct SessionCase {
    const Variant* variant;
    const char *sim_variant, *port_widget;      // a widget of the port the device has
    int options, port_address, cooling_address; // and its address; DailyCoolingDuration's
};

void PrintTo(const SessionCase& c, std::ostream* os) {
    *os << c.sim_variant;
}

class Session : public test::GuiTest, public ::testing::WithParamInterface<SessionCase> {
  protected:
    void SetUp() override {
        GuiTest::SetUp();
        g_mkdir_with_parents(g_get_user_data_dir(), 0700); // the choosers' recent files
        test::load_main_window(*GetParam().variant);
        init_registers();
    }
    std::string path(const char* name) const { return dir_.path(name); }
    test::TempDir dir_;
};

TEST_P(Session, ConnectDownloadEditUploadSaveOpenExportDisconnect) {
    const SessionCase& c = GetParam();
    test::SimHarness sim({"--relays", "4", "--options", std::to_string(c.options), "--variant",
                          c.sim_variant, "--baud", "0"});

    // The requests of these two have tests of their own.
    click("Connect");
    ASSERT_TRUE(controller.is_open()) << ::testing::PrintToString(test::messages());
    click("Download");

    // Typed into spin buttons and picked in a combo box, then uploaded.
    const struct {
        const char *widget, *typed;
        int address, raw;
    } edits[] = {{"SetPoint C 2", "95", 1, 95},
                 {"Timeout 4", "12.3", 43, 123},
                 {"DailyCoolingDuration", "45", c.cooling_address, 45},
                 {c.port_widget, "17", c.port_address, 17},
                 {"Forced Activation 3", nullptr, 82, 1}};
    for (const auto& e : edits)
        if (e.typed)
            gtk_entry_set_text(GTK_ENTRY(widget(e.widget)), e.typed);
        else
            gtk_combo_box_set_active(GTK_COMBO_BOX(widget(e.widget)), e.raw);
    // Upload asks first, with the list of changes.
    test::respond([] { click("Upload"); }, "compare_dialog", GTK_RESPONSE_ACCEPT);
    for (const auto& e : edits) { // each differs from what the controller held before
        uint16_t held = 0;
        EXPECT_EQ(controller.read_registers(uint16_t(e.address), 1, &held), LINK_OK);
        EXPECT_EQ(held, e.raw) << e.widget;
    }

    // Saved, overwritten in the window, opened again: the same values in the same widgets, and
    // the clock, which the file does not hold, at the time of the opening (across midnight too).
    std::vector<uint16_t> addresses = config_addresses(*c.variant, 4, c.options);
    std::map<int, uint16_t> before = test::register_values(addresses);
    test::choose("menu_saveconfig", path("session.cfg"));
    EXPECT_STREQ(config_filename, path("session.cfg").c_str());
    const std::string saved = slurp(path("session.cfg"));
    for (uint16_t a : addresses)
        set_register(a, before[a] ? 0 : 1);
    for (int a : {400, 401, 402})
        set_register(a, 0);
    std::time_t t0 = std::time(nullptr);
    test::choose("menu_openconfig", path("session.cfg"));
    std::time_t t1 = std::time(nullptr);
    EXPECT_EQ(test::register_values(addresses), before);
    std::map<int, uint16_t> clock = test::register_values({400, 401, 402});
    long shown = clock[400] * 3600L + clock[401] * 60L + clock[402];
    long from = seconds_of_day(t0), to = seconds_of_day(t1);
    EXPECT_TRUE(from <= to ? (shown >= from && shown <= to) : (shown >= from || shown <= to));
    save_config(path("again.cfg").c_str());
    EXPECT_EQ(slurp(path("again.cfg")), saved);

    // The event memory, with its progress shown and every command held back meanwhile.
    ProgressSeen seen;
    g_signal_connect(widget("events_progress"), "notify::fraction", G_CALLBACK(on_fraction), &seen);
    test::choose("menu_events", path("events.csv"));
    const std::string csv = slurp(path("events.csv"));
    EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'), 3585); // heading and 3584 records
    EXPECT_EQ(seen.status, "Downloading events. This may take up to a minute.");
    EXPECT_EQ(test::status_text(), "Finished downloading events.");
    ASSERT_GT(seen.fractions.size(), 2u) << "the dump arrives in many reads";
    EXPECT_TRUE(std::is_sorted(seen.fractions.begin(), seen.fractions.end()));
    EXPECT_EQ(seen.fractions.back(), 1.0);
    EXPECT_EQ(seen.idle, 0);
    EXPECT_FALSE(GTK_WIDGET_VISIBLE(widget("events_progress")));
    EXPECT_TRUE(GTK_WIDGET_SENSITIVE(widget("Download")));
    EXPECT_STREQ(config_filename, path("session.cfg").c_str()) << "the export keeps no file";

    click("Connect");
    EXPECT_FALSE(controller.is_open());
    EXPECT_EQ(test::messages(), Lines{}) << "nothing went wrong on the way";

    // The command line writes what the window wrote, and the plot, drawn without a display.
    std::string variant = std::string("--variant=") + c.variant->program;
    EXPECT_EQ(test::cli({variant, "download", "-o", path("cli.cfg")}).status, 0);
    EXPECT_EQ(slurp(path("cli.cfg")), saved);
    EXPECT_EQ(
        test::cli({variant, "events", "-o", path("cli.csv"), "--png", path("cli.png")}).status, 0);
    EXPECT_TRUE(slurp(path("cli.csv")) == csv) << "the command line's CSV differs";
    cairo_surface_t* png = cairo_image_surface_create_from_png(path("cli.png").c_str());
    EXPECT_EQ(cairo_image_surface_get_width(png), 1200);
    EXPECT_EQ(cairo_image_surface_get_height(png), 700);
    cairo_surface_destroy(png);
}

// The MODBUS port for one, the DNP3 port for the other: each port block goes the whole way.
INSTANTIATE_TEST_SUITE_P(Variants, Session,
                         ::testing::Values(SessionCase{&variant_full, "full", "MODBUSAddress",
                                                       OPTION_EVENTS, 322, 212},
                                           SessionCase{&variant_rtd, "rtd", "DNP3Address",
                                                       OPTION_EVENTS | OPTION_DNP3, 342, 204}),
                         [](const auto& info) { return std::string(info.param.sim_variant); });

} // namespace
