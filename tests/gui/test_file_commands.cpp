// The configuration and event export commands on the real window: files written and read
// through the register widgets, the event memory fetched from kelvra-sim, the choosers, and
// what a failure leaves on disk.
#include "formats/configfile.h"
#include "gui/config.h"
#include "gui/events.h"
#include "gui/eventview.h"
#include "gui/params.h"
#include "gui/transfer.h"
#include "support/sim_harness.h"
#include "support/window.h"

#include <ctime>
#include <glib/gstdio.h>
#include <memory>
#include <pwd.h>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using test::choose;
using test::messages;
using test::register_values;
using test::slurp;
using test::widget;

void find_entry(GtkWidget* w, gpointer data) {
    auto** found = static_cast<GtkWidget**>(data);
    if (*found || !GTK_WIDGET_VISIBLE(w))
        return;
    if (GTK_IS_ENTRY(w))
        *found = w;
    else if (GTK_IS_CONTAINER(w))
        gtk_container_forall(GTK_CONTAINER(w), find_entry, data);
}

// Title, buttons, filter, overwrite confirmation, the folder it opens in and, for a save, the
// name offered.
void expect_chooser(GtkWidget* made, const char* title, const char* accept, const char* pattern,
                    const char* offered, const std::string& folder) {
    auto* c = GTK_FILE_CHOOSER(made);
    gchar* opened = nullptr; // known once the chooser has read the folder in the background
    for (int wait = 0; wait < 300 && !(opened = gtk_file_chooser_get_current_folder(c)); ++wait) {
        test::flush_events();
        g_usleep(10 * 1000);
    }
    EXPECT_EQ(opened ? opened : "", folder) << title;
    g_free(opened);
    EXPECT_STREQ(gtk_window_get_title(GTK_WINDOW(c)), title);
    EXPECT_EQ(gtk_window_get_transient_for(GTK_WINDOW(c)), GTK_WINDOW(widget("kelvra_main")));
    for (auto [response, stock] :
         {std::pair{GTK_RESPONSE_CANCEL, GTK_STOCK_CANCEL}, {GTK_RESPONSE_ACCEPT, accept}}) {
        GtkWidget* b = gtk_dialog_get_widget_for_response(GTK_DIALOG(c), response);
        EXPECT_STREQ(b ? gtk_button_get_label(GTK_BUTTON(b)) : nullptr, stock);
    }
    for (const char* name : {"a.cfg", "a.csv"}) {
        GtkFileFilterInfo info{GTK_FILE_FILTER_DISPLAY_NAME, nullptr, nullptr, name, nullptr};
        EXPECT_EQ(gtk_file_filter_filter(gtk_file_chooser_get_filter(c), &info),
                  g_str_has_suffix(name, pattern + 1))
            << name;
    }
    bool save = !g_str_equal(accept, GTK_STOCK_OPEN);
    EXPECT_EQ(gtk_file_chooser_get_action(c),
              save ? GTK_FILE_CHOOSER_ACTION_SAVE : GTK_FILE_CHOOSER_ACTION_OPEN);
    EXPECT_EQ(gtk_file_chooser_get_do_overwrite_confirmation(c), save);
    if (save) {
        GtkWidget* entry = nullptr;
        gtk_container_forall(GTK_CONTAINER(c), find_entry, &entry);
        EXPECT_STREQ(entry ? gtk_entry_get_text(GTK_ENTRY(entry)) : nullptr, offered);
    }
}

class FileCommands : public test::GuiTest {
  protected:
    void SetUp() override {
        GuiTest::SetUp();
        // The choosers record accepted files in the user's recent files, in this folder.
        g_mkdir_with_parents(g_get_user_data_dir(), 0700);
    }
    void TearDown() override {
        if (glade_xml)
            gtk_toggle_tool_button_set_active(GTK_TOGGLE_TOOL_BUTTON(widget("Connect")), FALSE);
        g_free(config_filename);
        config_filename = nullptr;
        nrelays = 0;
        options = 0;
        GuiTest::TearDown();
    }
    void open_window(const Variant& v) {
        test::load_main_window(v);
        init_registers();
    }
    // The window as after connecting to a device without relays, but without a device.
    void fill_window(const Variant& v) {
        open_window(v);
        init_alternate_activation(0);
        set_all(config_addresses(v, 0, 0));
    }
    // The addresses and the clock to 1, as a Download or Open leaves no field empty.
    static void set_all(const std::vector<uint16_t>& addresses) {
        for (uint16_t a : addresses)
            set_register(a, 1);
        for (int a = CLOCK_BLOCK.first; a < CLOCK_BLOCK.first + CLOCK_BLOCK.count; ++a)
            set_register(a, 1);
    }
    void connect_to(test::SimHarness& sim) {
        ASSERT_TRUE(sim.started());
        gtk_toggle_tool_button_set_active(GTK_TOGGLE_TOOL_BUTTON(widget("Connect")), TRUE);
        ASSERT_EQ(messages(), std::vector<std::string>{});
        sim.clear_log();
    }
    std::string path(const std::string& name) const { return dir_.path(name); }
    test::TempDir dir_;
};

long seconds_of_day(std::time_t t) {
    std::tm tm{};
    localtime_r(&t, &tm);
    return tm.tm_hour * 3600L + tm.tm_min * 60L + tm.tm_sec;
}

} // namespace

// --- Configuration files -------------------------------------------------------------------

class ConfigRoundTrip : public FileCommands,
                        public ::testing::WithParamInterface<const Variant*> {};

// With the DNP3 port; the MODBUS port block goes round with a download in the session tests.
TEST_P(ConfigRoundTrip, SavedWidgetsComeBackFromTheFile) {
    const Variant& v = *GetParam();
    open_window(v);
    nrelays = 2;
    options = OPTION_DNP3;
    init_alternate_activation(nrelays);
    std::vector<uint16_t> addresses = config_addresses(v, nrelays, options);
    set_all(addresses);
    std::map<int, uint16_t> before = register_values(addresses);

    save_config(path("a.cfg").c_str());
    std::string saved = slurp(path("a.cfg"));
    EXPECT_EQ(std::count(saved.begin(), saved.end(), '\n'), long(addresses.size() + 4));
    for (uint16_t a : addresses) // other values everywhere the file will reach
        set_register(a, before[a] ? 0 : 1);
    for (int a : {400, 401, 402})
        set_register(a, 0);
    std::time_t t0 = std::time(nullptr);
    open_config(path("a.cfg").c_str());
    std::time_t t1 = std::time(nullptr);
    EXPECT_EQ(register_values(addresses), before);

    // The clock fields show the time of the loading (across midnight too).
    std::map<int, uint16_t> clock = register_values({400, 401, 402});
    long shown = clock[400] * 3600L + clock[401] * 60L + clock[402];
    long from = seconds_of_day(t0), to = seconds_of_day(t1);
    EXPECT_TRUE(from <= to ? (shown >= from && shown <= to) : (shown >= from || shown <= to));

    save_config(path("b.cfg").c_str());
    EXPECT_EQ(slurp(path("b.cfg")), saved);
    EXPECT_EQ(messages(), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(Variants, ConfigRoundTrip, ::testing::Values(&variant_full, &variant_rtd),
                         [](const auto& info) { return std::string(info.param->program); });

TEST_F(FileCommands, RegistersWithoutValueAreWrittenAsZero) {
    fill_window(variant_full);
    nrelays = 15; // the fifteenth relay has no widgets
    for (uint16_t a : config_addresses(variant_full, 14, 0))
        set_register(a, 1);
    gtk_combo_box_set_active(GTK_COMBO_BOX(widget("Frequency")), -1);
    save_config(path("a.cfg").c_str());
    // Once from the validation, once from the writing.
    EXPECT_EQ(messages(), std::vector<std::string>(2, "Parameter 'Line Frequency' not defined."));
    std::string text = slurp(path("a.cfg"));
    for (const char* line :
         {"address=\"210\">0<", "address=\"13\">1<", "address=\"14\">0<", "address=\"174\">0<"})
        EXPECT_NE(text.find(line), std::string::npos) << line;
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 9 * 15 + 14 + 2 + 3 + 4);
}

TEST_F(FileCommands, ReadingFaultsAreShownAfterWhatCameBefore) {
    open_window(variant_full);
    set_register(212, 5);
    set_register(213, 5);
    set_register(400, 7);
    const std::string bad = "Invalid configuration file: attribute ";
    const struct {
        std::string file, text, message;
    } cases[] = {
        {path("bad.cfg"),
         "<configuration><device name=\"varnel\">"
         "<parameter type=\"uint16\" address=\"212\">30</parameter>"
         "<parameter type=\"uint16\" address=\"2000\">9</parameter>",
         bad + "\"address\" with invalid value \"2000\"."},
        {path("missing.cfg"), "", "Cannot open configuration file " + path("missing.cfg") + "."},
        {dir_.path(), "",
         "Cannot open configuration file " + dir_.path() + "."}, // opens, cannot be read
    };
    for (const auto& c : cases) {
        if (!c.text.empty())
            test::put(c.file, c.text);
        open_config(c.file.c_str());
        EXPECT_EQ(messages(), std::vector<std::string>{c.message});
        test::close_dialogs();
    }
    EXPECT_EQ(register_values({212, 213, 400}),
              (std::map<int, uint16_t>{{212, 30}, {213, 5}, {400, 7}}))
        << "applied before the fault, untouched after it, no clock";
}

TEST_F(FileCommands, AFailedSaveLeavesTheOldFile) {
    fill_window(variant_full);
    const std::string old(2000, 'x');
    test::put(path("a.cfg"), old);
    {
        test::FileSizeLimit limit(600); // the new file needs more than that
        save_config(path("a.cfg").c_str());
    }
    save_config(path("missing/a.cfg").c_str());
    EXPECT_EQ(messages(), std::vector<std::string>(2, "Error writing configuration file."));
    EXPECT_EQ(slurp(path("a.cfg")), old);
    EXPECT_EQ(dir_.entries(), std::vector<std::string>{"a.cfg"}) << "no temporary is left behind";
}

// What a toolkit may write in a home: the files at its top, and two levels of the folders for
// data, settings and caches; each as name, size and time of change.
std::set<std::string> home_snapshot(const std::string& home) {
    std::set<std::string> seen;
    std::function<void(const std::string&, int)> walk = [&](const std::string& rel, int depth) {
        GDir* d = g_dir_open((home + rel).c_str(), 0, nullptr);
        while (const char* name = d ? g_dir_read_name(d) : nullptr) {
            std::string path = rel + "/" + name;
            struct stat st {};
            if (lstat((home + path).c_str(), &st) != 0)
                continue;
            bool folder = S_ISDIR(st.st_mode);
            seen.insert(path + (folder ? "/"
                                       : " " + std::to_string(st.st_size) + " " +
                                             std::to_string(st.st_mtime)));
            if (folder && depth > 0)
                walk(path, depth - 1);
        }
        if (d)
            g_dir_close(d);
    };
    walk("", 0);
    for (const char* kept : {"/.local/share", "/.config", "/.cache"})
        walk(kept, 2);
    return seen;
}

TEST_F(FileCommands, TheChoosersOpenSaveAndOfferTheLastFile) {
    const std::string real_home = getpwuid(getuid())->pw_dir;
    ASSERT_NE(real_home, g_get_home_dir()) << "the tests run with a home of their own";
    const std::set<std::string> before = home_snapshot(real_home);
    fill_window(variant_full);
    const struct {
        GtkWidget* (*make)();
        const char *title, *accept, *pattern, *offered;
    } choosers[] = {
        {new_open_config_chooser, "Open Configuration", GTK_STOCK_OPEN, "*.cfg", ""},
        {new_save_config_chooser, "Save Configuration", GTK_STOCK_SAVE, "*.cfg", "untitled.cfg"},
        {new_events_chooser, "Save Events to CSV", GTK_STOCK_SAVE, "*.csv", "untitled.csv"},
    };
    for (const auto& c : choosers) {
        GtkWidget* chooser = c.make();
        expect_chooser(chooser, c.title, c.accept, c.pattern, c.offered, g_get_home_dir());
        gtk_widget_destroy(chooser);
    }
    test::put(path("in.cfg"), "<configuration><device name=\"varnel\">"
                              "<parameter type=\"uint16\" address=\"213\">17</parameter>");
    choose("menu_openconfig", path("in.cfg"));
    EXPECT_STREQ(config_filename, path("in.cfg").c_str());
    EXPECT_EQ(register_values({213})[213], 17);
    choose("menu_saveconfig", ""); // cancelled: changes nothing
    EXPECT_STREQ(config_filename, path("in.cfg").c_str());
    g_unlink(path("in.cfg").c_str()); // offered even when it has gone
    GtkWidget* save = new_save_config_chooser();
    expect_chooser(save, "Save Configuration", GTK_STOCK_SAVE, "*.cfg", "in.cfg", dir_.path());
    gtk_widget_destroy(save);
    GtkWidget* csv = new_events_chooser(); // the last folder, whatever the chooser
    expect_chooser(csv, "Save Events to CSV", GTK_STOCK_SAVE, "*.csv", "untitled.csv", dir_.path());
    gtk_widget_destroy(csv);
    EXPECT_TRUE(test::standing_dialogs().empty());

    // The chosen file went into the recent files of the tests' home, and the real one is as it was.
    std::string recent = std::string(g_get_user_data_dir()) + "/recently-used.xbel";
    for (int wait = 0; wait < 300 && slurp(recent).find("in.cfg") == std::string::npos; ++wait) {
        test::flush_events();
        g_usleep(10 * 1000);
    }
    EXPECT_TRUE(g_str_has_prefix(recent.c_str(), g_get_home_dir())) << recent;
    EXPECT_NE(slurp(recent).find("in.cfg"), std::string::npos);
    EXPECT_EQ(home_snapshot(real_home), before) << "the tests changed " << real_home;
}

// --- Event export ----------------------------------------------------------------------------

namespace {

// What the window showed each time the download reported progress.
struct ProgressSeen {
    std::vector<double> fractions;
    bool always_visible = true;
    bool commands_insensitive = true;
    std::string status;
};

void on_fraction(GObject* bar, GParamSpec*, gpointer data) {
    auto* seen = static_cast<ProgressSeen*>(data);
    seen->fractions.push_back(gtk_progress_bar_get_fraction(GTK_PROGRESS_BAR(bar)));
    seen->always_visible = seen->always_visible && GTK_WIDGET_VISIBLE(GTK_WIDGET(bar));
    for (const char* name :
         {"Download", "Upload", "menu_events", "menu_saveconfig", "menu_openconfig", "Connect"})
        seen->commands_insensitive &= !GTK_WIDGET_SENSITIVE(widget(name));
    seen->status = test::status_text();
}

class EventExport : public FileCommands {
  protected:
    void SetUp() override {
        FileCommands::SetUp();
        open_window(variant_full);
        g_signal_connect(widget("events_progress"), "notify::fraction", G_CALLBACK(on_fraction),
                         &seen_);
    }
    ProgressSeen seen_;
};

} // namespace

TEST_F(EventExport, WholeDumpFromTheSimulatorThroughTheMenu) {
    test::SimHarness sim({"--baud", "0"});
    connect_to(sim);
    choose("menu_events", path("untitled.csv"));
    EXPECT_EQ(messages(), std::vector<std::string>{});
    EXPECT_EQ(sim.log(), std::vector<std::string>{"R 65504 1"});
    EXPECT_TRUE(slurp(path("untitled.csv")) ==
                slurp(test::source_path("tests/data/events_sim_full.csv")))
        << "differs from events_sim_full.csv";

    EXPECT_EQ(seen_.status, "Downloading events. This may take up to a minute.");
    EXPECT_EQ(test::status_text(), "Finished downloading events.");
    ASSERT_GT(seen_.fractions.size(), 2u) << "the dump arrives in many reads";
    EXPECT_TRUE(std::is_sorted(seen_.fractions.begin(), seen_.fractions.end()));
    EXPECT_EQ(seen_.fractions.back(), 1.0);
    EXPECT_TRUE(seen_.always_visible);
    EXPECT_TRUE(seen_.commands_insensitive);
    EXPECT_FALSE(GTK_WIDGET_VISIBLE(widget("events_progress")));
    EXPECT_TRUE(GTK_WIDGET_SENSITIVE(widget("Download")));
    EXPECT_EQ(config_filename, nullptr) << "the export does not remember its file";
}

TEST_F(EventExport, RefusalsComeBeforeAnyChooser) {
    test::SimHarness sim({"--baud", "0", "--options", "1"});
    connect_to(sim);
    gtk_menu_item_activate(GTK_MENU_ITEM(widget("menu_events")));
    EXPECT_EQ(messages(), std::vector<std::string>{"This device does not feature event memory."});
    test::close_dialogs();

    options = OPTION_EVENTS;
    choose("menu_events", "");
    {
        TransferGuard running; // another transfer: neither the command nor the export runs
        gtk_menu_item_activate(GTK_MENU_ITEM(widget("menu_events")));
        save_events(path("events.csv").c_str());
    }
    EXPECT_TRUE(test::standing_dialogs().empty());
    EXPECT_EQ(sim.log(), std::vector<std::string>{});
    // Still what Connect said: the refused export said nothing there.
    EXPECT_EQ(test::status_text(), "Connected: 14 relays, DNP3 port, no event memory.");
    EXPECT_EQ(dir_.entries(), std::vector<std::string>{});
}

// Failed downloads through the window are the fault-injection tests' cases.
TEST_F(EventExport, AFileThatCannotBeWrittenLeavesTheOldOne) {
    test::SimHarness sim({"--baud", "0"});
    connect_to(sim);
    for (bool disk_full : {true, false}) {
        SCOPED_TRACE(disk_full ? "disk full" : "cannot be created");
        test::put(path("events.csv"), "kept\n");
        {
            std::unique_ptr<test::FileSizeLimit> limit;
            if (disk_full)
                limit = std::make_unique<test::FileSizeLimit>(100000);
            save_events(path(disk_full ? "events.csv" : "missing/events.csv").c_str());
        }
        EXPECT_EQ(messages(), std::vector<std::string>{"Error writing event CSV file."});
        EXPECT_EQ(slurp(path("events.csv")), "kept\n");
        EXPECT_EQ(dir_.entries(), std::vector<std::string>{"events.csv"});
        // A file that cannot be created is known before the download.
        EXPECT_EQ(sim.log(),
                  disk_full ? std::vector<std::string>{"R 65504 1"} : std::vector<std::string>{});
        EXPECT_FALSE(GTK_WIDGET_VISIBLE(widget("events_progress")));
        test::close_dialogs();
        sim.clear_log();
    }
}
