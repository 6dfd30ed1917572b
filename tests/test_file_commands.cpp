// The configuration and event export commands on the real window: files written and read
// through the register widgets, the event memory fetched from kelvra-sim, the choosers, and
// what a failure leaves on disk.
#include "config.h"
#include "configfile.h"
#include "events.h"
#include "registers.h"
#include "serial.h"
#include "sim_harness.h"
#include "support.h"
#include "transfer.h"

#include <csignal>
#include <ctime>
#include <fstream>
#include <functional>
#include <glib/gstdio.h>
#include <map>
#include <sstream>
#include <sys/resource.h>

namespace {

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void put(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

GtkWidget* widget(const char* name) {
    GtkWidget* w = glade_xml_get_widget(glade_xml, name);
    EXPECT_NE(w, nullptr) << name;
    return w;
}

std::vector<std::string> messages() {
    std::vector<std::string> out;
    for (GtkWidget* d : test::standing_dialogs())
        out.push_back(test::dialog_text(d));
    return out;
}

std::string status_text() {
    GtkWidget* area = gtk_statusbar_get_message_area(GTK_STATUSBAR(widget("statusbar")));
    GList* children = gtk_container_get_children(GTK_CONTAINER(area));
    std::string text;
    for (GList* l = children; l; l = l->next)
        if (GTK_IS_LABEL(l->data)) {
            text = gtk_label_get_text(GTK_LABEL(l->data));
            break;
        }
    g_list_free(children);
    return text;
}

std::map<int, uint16_t> register_values(const std::vector<uint16_t>& addresses) {
    std::map<int, uint16_t> out;
    for (uint16_t a : addresses) {
        uint16_t v = 0xBEEF;
        get_register(a, &v);
        out[a] = v;
    }
    return out;
}

// Makes writes beyond `bytes` fail, as a full disk does, for the life of the object.
class FileSizeLimit {
  public:
    explicit FileSizeLimit(rlim_t bytes) {
        previous_ = signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &saved_);
        rlimit small = saved_;
        small.rlim_cur = bytes;
        EXPECT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &saved_);
        signal(SIGXFSZ, previous_);
    }

  private:
    rlimit saved_{};
    sighandler_t previous_;
};

// Answers the next file chooser from inside its own dialog loop: `inspect` checks it and picks
// the answer, which is given once the chooser reports the wanted file (it takes a folder in the
// background).
struct ChooserAnswer {
    std::function<void(GtkFileChooser*)> inspect;
    std::string wanted; // empty: cancel
    GtkFileChooser* chooser = nullptr;
    bool inspected = false;
    int tries = 0;
};

void find_entry(GtkWidget* w, gpointer data) {
    auto** found = static_cast<GtkWidget**>(data);
    if (*found || !GTK_WIDGET_VISIBLE(w))
        return;
    if (GTK_IS_ENTRY(w))
        *found = w;
    else if (GTK_IS_CONTAINER(w))
        gtk_container_forall(GTK_CONTAINER(w), find_entry, data);
}

// The text of a save chooser's name field.
std::string name_field(GtkFileChooser* c) {
    GtkWidget* entry = nullptr;
    gtk_container_forall(GTK_CONTAINER(c), find_entry, &entry);
    return entry ? gtk_entry_get_text(GTK_ENTRY(entry)) : "";
}

gboolean answer_chooser(gpointer data) {
    auto* a = static_cast<ChooserAnswer*>(data);
    if (++a->tries > 500) { // a chooser that never came or never took the name
        ADD_FAILURE() << "the file chooser was not answered";
        if (a->chooser)
            gtk_dialog_response(GTK_DIALOG(a->chooser), GTK_RESPONSE_CANCEL);
        return FALSE;
    }
    if (!a->chooser) {
        for (GtkWidget* d : test::standing_dialogs())
            if (GTK_IS_FILE_CHOOSER_DIALOG(d))
                a->chooser = GTK_FILE_CHOOSER(d);
        if (!a->chooser)
            return TRUE;
    }
    if (!a->inspected) {
        a->inspected = true;
        a->inspect(a->chooser);
        if (a->wanted.empty()) {
            gtk_dialog_response(GTK_DIALOG(a->chooser), GTK_RESPONSE_CANCEL);
            return FALSE;
        }
    }
    gchar* name = gtk_file_chooser_get_filename(a->chooser);
    bool ready = name && a->wanted == name;
    g_free(name);
    if (!ready)
        return TRUE;
    gtk_dialog_response(GTK_DIALOG(a->chooser), GTK_RESPONSE_ACCEPT);
    return FALSE;
}

void with_chooser(ChooserAnswer& answer, const char* menu_item) {
    g_timeout_add(10, answer_chooser, &answer);
    gtk_menu_item_activate(GTK_MENU_ITEM(widget(menu_item)));
}

bool accepts(GtkFileChooser* chooser, const char* name) {
    GtkFileFilter* filter = gtk_file_chooser_get_filter(chooser);
    GtkFileFilterInfo info{GTK_FILE_FILTER_DISPLAY_NAME, nullptr, nullptr, name, nullptr};
    return filter && gtk_file_filter_filter(filter, &info);
}

std::string button_stock(GtkFileChooser* chooser, int response) {
    GtkWidget* b = gtk_dialog_get_widget_for_response(GTK_DIALOG(chooser), response);
    return b && GTK_IS_BUTTON(b) ? gtk_button_get_label(GTK_BUTTON(b)) : "";
}

class FileCommands : public test::GuiTest {
  protected:
    void SetUp() override {
        GuiTest::SetUp();
        char* d = g_dir_make_tmp("kelvra-files-XXXXXX", nullptr);
        ASSERT_NE(d, nullptr);
        dir_ = d;
        g_free(d);
        // The choosers record accepted files in the user's recent files, in this folder.
        g_mkdir_with_parents(g_get_user_data_dir(), 0700);
    }
    void TearDown() override {
        if (glade_xml) {
            auto* c = GTK_TOGGLE_TOOL_BUTTON(widget("Connect"));
            if (gtk_toggle_tool_button_get_active(c))
                gtk_toggle_tool_button_set_active(c, FALSE);
        }
        g_free(config_filename);
        config_filename = nullptr;
        GuiTest::TearDown();
        if (GDir* d = g_dir_open(dir_.c_str(), 0, nullptr)) {
            while (const char* name = g_dir_read_name(d))
                g_unlink(path(name).c_str());
            g_dir_close(d);
        }
        g_rmdir(dir_.c_str());
    }
    void open_window(const Variant& v) {
        test::load_main_window(v);
        init_registers();
    }
    // The window as after connecting to a device with `relays` relays, without a device.
    void fill_window(const Variant& v, int relays) {
        open_window(v);
        init_alternate_activation(relays);
        for (uint16_t a : config_addresses(v, relays, 0))
            set_register(a, 1);
    }
    void connect_to(test::SimHarness& sim) {
        ASSERT_TRUE(sim.started());
        gtk_toggle_tool_button_set_active(GTK_TOGGLE_TOOL_BUTTON(widget("Connect")), TRUE);
        ASSERT_TRUE(gtk_toggle_tool_button_get_active(GTK_TOGGLE_TOOL_BUTTON(widget("Connect"))))
            << ::testing::PrintToString(messages());
        sim.clear_log();
    }
    void download() {
        gtk_button_clicked(GTK_BUTTON(gtk_bin_get_child(GTK_BIN(widget("Download")))));
        ASSERT_EQ(messages(), std::vector<std::string>{});
    }
    std::string path(const std::string& name) const { return dir_ + "/" + name; }
    std::string dir_;
};

} // namespace

// --- Configuration files -------------------------------------------------------------------

struct RoundTripCase {
    const Variant* variant;
    const char* sim_variant;
    int options;
};

class ConfigRoundTrip : public FileCommands, public ::testing::WithParamInterface<RoundTripCase> {};

TEST_P(ConfigRoundTrip, SavedWidgetsComeBackFromTheFile) {
    const RoundTripCase& c = GetParam();
    open_window(*c.variant);
    test::SimHarness sim({"--relays", "2", "--options", std::to_string(c.options), "--variant",
                          c.sim_variant, "--baud", "0"});
    connect_to(sim);
    download();
    std::vector<uint16_t> addresses = config_addresses(*c.variant, 2, c.options);
    std::map<int, uint16_t> before = register_values(addresses);

    save_config(path("a.cfg").c_str());
    ASSERT_EQ(messages(), std::vector<std::string>{});
    std::string saved = slurp(path("a.cfg"));
    EXPECT_EQ(std::count(saved.begin(), saved.end(), '\n'),
              static_cast<long>(addresses.size() + 4));

    for (uint16_t a : addresses) // other values everywhere the file will reach
        set_register(a, before[a] ? 0 : 1);
    ASSERT_NE(register_values(addresses), before);
    set_register(400, 0);
    set_register(401, 0);
    set_register(402, 0);
    std::time_t t0 = std::time(nullptr);
    open_config(path("a.cfg").c_str());
    std::time_t t1 = std::time(nullptr);
    ASSERT_EQ(messages(), std::vector<std::string>{});
    EXPECT_EQ(register_values(addresses), before);

    // The clock fields show the time of the loading.
    std::map<int, uint16_t> clock = register_values({400, 401, 402});
    long shown = clock[400] * 3600L + clock[401] * 60L + clock[402];
    std::tm a{}, b{};
    localtime_r(&t0, &a);
    localtime_r(&t1, &b);
    long from = a.tm_hour * 3600L + a.tm_min * 60L + a.tm_sec;
    long to = b.tm_hour * 3600L + b.tm_min * 60L + b.tm_sec;
    EXPECT_TRUE(from <= to ? (shown >= from && shown <= to) : (shown >= from || shown <= to))
        << shown << " not in " << from << ".." << to;

    save_config(path("b.cfg").c_str());
    EXPECT_EQ(slurp(path("b.cfg")), saved);
}

INSTANTIATE_TEST_SUITE_P(Variants, ConfigRoundTrip,
                         ::testing::Values(RoundTripCase{&variant_full, "full", 0},
                                           RoundTripCase{&variant_full, "full", 3},
                                           RoundTripCase{&variant_rtd, "rtd", 0},
                                           RoundTripCase{&variant_rtd, "rtd", 1}));

TEST_F(FileCommands, SavingBeforeAnyConnectionWritesTheFixedBlocks) {
    fill_window(variant_rtd, 0);
    save_config(path("a.cfg").c_str());
    EXPECT_EQ(messages(), std::vector<std::string>{});
    std::string text = slurp(path("a.cfg"));
    EXPECT_EQ(text.substr(0, 56), "<configuration version=\"1.0\">\n  <device name=\"varnel0\">\n");
    EXPECT_NE(text.find("    <parameter type=\"uint16\" address=\"200\">1</parameter>\n"),
              std::string::npos);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 5 + 2 + 3 + 4);
}

TEST_F(FileCommands, ARegisterWithoutValueIsReportedAndWrittenAsZero) {
    fill_window(variant_full, 0);
    gtk_combo_box_set_active(GTK_COMBO_BOX(widget("Frequency")), -1);
    save_config(path("a.cfg").c_str());
    // Once from the validation, once from the writing.
    EXPECT_EQ(messages(), std::vector<std::string>(2, "Parameter 'Line Frequency' not defined."));
    EXPECT_NE(slurp(path("a.cfg")).find("address=\"210\">0</parameter>"), std::string::npos);
}

TEST_F(FileCommands, ReadingFaultsAreShownAfterWhatCameBefore) {
    open_window(variant_full);
    set_register(212, 5);
    set_register(213, 5);
    set_register(400, 7);
    struct Case {
        std::string text;
        std::string message;
    };
    const Case cases[] = {
        {"<configuration><device name=\"varnel\">"
         "<parameter type=\"uint16\" address=\"212\">30</parameter>"
         "<parameter type=\"uint16\" address=\"2000\">9</parameter>",
         "Invalid configuration file: attribute \"address\" with invalid value \"2000\"."},
        {"<configuration><device name=\"varnel0\">",
         "Invalid configuration file: attribute \"name\" with invalid value \"varnel0\"."},
    };
    for (const Case& c : cases) {
        put(path("bad.cfg"), c.text);
        open_config(path("bad.cfg").c_str());
        EXPECT_EQ(messages(), std::vector<std::string>{c.message});
        test::close_dialogs();
    }
    EXPECT_EQ(register_values({212, 213, 400}),
              (std::map<int, uint16_t>{{212, 30}, {213, 5}, {400, 7}}))
        << "applied before the fault, untouched after it, no clock";
}

TEST_F(FileCommands, AFileThatCannotBeReadIsReported) {
    open_window(variant_full);
    for (const std::string& p : {path("missing.cfg"), dir_}) {
        open_config(p.c_str());
        EXPECT_EQ(messages(),
                  std::vector<std::string>{"Cannot open configuration file " + p + "."});
        test::close_dialogs();
    }
}

TEST_F(FileCommands, AFailedSaveLeavesTheOldFile) {
    fill_window(variant_full, 0);
    const std::string old(2000, 'x');
    put(path("a.cfg"), old);
    {
        FileSizeLimit limit(600); // the new file needs more than that
        save_config(path("a.cfg").c_str());
    }
    EXPECT_EQ(messages(), std::vector<std::string>{"Error writing configuration file."});
    test::close_dialogs();
    EXPECT_EQ(slurp(path("a.cfg")), old);

    save_config(path("missing/a.cfg").c_str());
    EXPECT_EQ(messages(), std::vector<std::string>{"Error writing configuration file."});
    GDir* d = g_dir_open(dir_.c_str(), 0, nullptr);
    std::vector<std::string> names;
    while (const char* name = g_dir_read_name(d))
        names.push_back(name);
    g_dir_close(d);
    EXPECT_EQ(names, std::vector<std::string>{"a.cfg"}) << "no temporary is left behind";
}

TEST_F(FileCommands, OpenChooserLoadsTheChosenFile) {
    open_window(variant_full);
    put(path("in.cfg"), "<configuration><device name=\"varnel\">"
                        "<parameter type=\"uint16\" address=\"213\">17</parameter>");
    ChooserAnswer answer;
    answer.wanted = path("in.cfg");
    answer.inspect = [&](GtkFileChooser* c) {
        EXPECT_STREQ(gtk_window_get_title(GTK_WINDOW(c)), "Open Configuration");
        EXPECT_EQ(gtk_file_chooser_get_action(c), GTK_FILE_CHOOSER_ACTION_OPEN);
        EXPECT_EQ(gtk_window_get_transient_for(GTK_WINDOW(c)), GTK_WINDOW(widget("kelvra_main")));
        EXPECT_EQ(button_stock(c, GTK_RESPONSE_CANCEL), GTK_STOCK_CANCEL);
        EXPECT_EQ(button_stock(c, GTK_RESPONSE_ACCEPT), GTK_STOCK_OPEN);
        EXPECT_TRUE(accepts(c, "a.cfg"));
        EXPECT_FALSE(accepts(c, "a.csv"));
        gtk_file_chooser_set_filename(c, answer.wanted.c_str());
    };
    with_chooser(answer, "menu_openconfig");
    EXPECT_STREQ(config_filename, path("in.cfg").c_str());
    uint16_t v = 0;
    get_register(213, &v);
    EXPECT_EQ(v, 17);
    EXPECT_TRUE(test::standing_dialogs().empty());
}

TEST_F(FileCommands, SaveChooserOffersTheLastFile) {
    fill_window(variant_full, 0);
    ChooserAnswer first;
    first.wanted = path("new.cfg");
    first.inspect = [&](GtkFileChooser* c) {
        EXPECT_STREQ(gtk_window_get_title(GTK_WINDOW(c)), "Save Configuration");
        EXPECT_EQ(gtk_file_chooser_get_action(c), GTK_FILE_CHOOSER_ACTION_SAVE);
        EXPECT_TRUE(gtk_file_chooser_get_do_overwrite_confirmation(c));
        EXPECT_EQ(button_stock(c, GTK_RESPONSE_ACCEPT), GTK_STOCK_SAVE);
        EXPECT_TRUE(accepts(c, "a.cfg"));
        EXPECT_FALSE(accepts(c, "a.txt"));
        EXPECT_EQ(name_field(c), "untitled.cfg");
        gtk_file_chooser_set_current_folder(c, dir_.c_str());
        gtk_file_chooser_set_current_name(c, "new.cfg");
    };
    with_chooser(first, "menu_saveconfig");
    EXPECT_STREQ(config_filename, path("new.cfg").c_str());
    EXPECT_EQ(slurp(path("new.cfg")).substr(0, 29), "<configuration version=\"1.0\">");

    // The next save offers that file: accepted as offered, it is written again.
    g_unlink(path("new.cfg").c_str());
    ChooserAnswer second;
    second.wanted = path("new.cfg");
    second.inspect = [&](GtkFileChooser* c) { EXPECT_EQ(name_field(c), "new.cfg"); };
    with_chooser(second, "menu_saveconfig");
    EXPECT_STREQ(config_filename, path("new.cfg").c_str());
    EXPECT_TRUE(g_file_test(path("new.cfg").c_str(), G_FILE_TEST_EXISTS));

    ChooserAnswer third; // cancelled: nothing changes
    third.inspect = [](GtkFileChooser*) {};
    with_chooser(third, "menu_saveconfig");
    EXPECT_STREQ(config_filename, path("new.cfg").c_str());
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
        seen->commands_insensitive =
            seen->commands_insensitive && !GTK_WIDGET_SENSITIVE(widget(name));
    seen->status = status_text();
}

class EventExport : public FileCommands {
  protected:
    void SetUp() override {
        FileCommands::SetUp();
        open_window(variant_full);
        g_signal_connect(widget("events_progress"), "notify::fraction", G_CALLBACK(on_fraction),
                         &seen_);
    }
    std::string golden() const {
        return slurp(std::string(KELVRA_SOURCE_DIR) + "/tests/data/events_sim_full.csv");
    }
    std::vector<std::string> entries() const {
        std::vector<std::string> names;
        GDir* d = g_dir_open(dir_.c_str(), 0, nullptr);
        while (const char* name = g_dir_read_name(d))
            names.push_back(name);
        g_dir_close(d);
        return names;
    }
    ProgressSeen seen_;
};

} // namespace

TEST_F(EventExport, WholeDumpFromTheSimulator) {
    test::SimHarness sim({"--baud", "0"});
    connect_to(sim);
    save_events(path("events.csv").c_str());
    EXPECT_EQ(messages(), std::vector<std::string>{});
    EXPECT_EQ(sim.log(), std::vector<std::string>{"R 65504 1"});
    EXPECT_TRUE(slurp(path("events.csv")) == golden()) << "differs from events_sim_full.csv";

    ASSERT_FALSE(seen_.fractions.empty());
    EXPECT_TRUE(std::is_sorted(seen_.fractions.begin(), seen_.fractions.end()));
    EXPECT_EQ(seen_.fractions.back(), 1.0);
    EXPECT_TRUE(seen_.always_visible);
    EXPECT_TRUE(seen_.commands_insensitive);
    EXPECT_FALSE(GTK_WIDGET_VISIBLE(widget("events_progress")));
    EXPECT_TRUE(GTK_WIDGET_SENSITIVE(widget("Download")));
    EXPECT_TRUE(GTK_WIDGET_SENSITIVE(widget("menu_saveconfig")));
}

TEST_F(EventExport, ThroughTheMenuAndItsChooser) {
    test::SimHarness sim({"--baud", "0", "--relays", "2"});
    connect_to(sim);
    ChooserAnswer answer;
    answer.wanted = path("chosen.csv");
    answer.inspect = [&](GtkFileChooser* c) {
        EXPECT_STREQ(gtk_window_get_title(GTK_WINDOW(c)), "Save Events to CSV");
        EXPECT_EQ(gtk_file_chooser_get_action(c), GTK_FILE_CHOOSER_ACTION_SAVE);
        EXPECT_EQ(gtk_window_get_transient_for(GTK_WINDOW(c)), GTK_WINDOW(widget("kelvra_main")));
        EXPECT_TRUE(gtk_file_chooser_get_do_overwrite_confirmation(c));
        EXPECT_EQ(button_stock(c, GTK_RESPONSE_CANCEL), GTK_STOCK_CANCEL);
        EXPECT_EQ(button_stock(c, GTK_RESPONSE_ACCEPT), GTK_STOCK_SAVE);
        EXPECT_TRUE(accepts(c, "a.csv"));
        EXPECT_FALSE(accepts(c, "a.cfg"));
        EXPECT_EQ(name_field(c), "untitled.csv");
        gtk_file_chooser_set_current_folder(c, dir_.c_str());
        gtk_file_chooser_set_current_name(c, "chosen.csv");
    };
    with_chooser(answer, "menu_events");
    EXPECT_EQ(messages(), std::vector<std::string>{});
    EXPECT_EQ(seen_.status, "Downloading events. This may take up to a minute.");
    EXPECT_EQ(status_text(), "Finished downloading events.");
    EXPECT_EQ(std::count(seen_.status.begin(), seen_.status.end(), '\n'), 0);
    std::string csv = slurp(path("chosen.csv"));
    EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'), 3585);
    EXPECT_EQ(config_filename, nullptr) << "the export does not remember its file";
}

TEST_F(EventExport, ACancelledChooserDoesNothing) {
    test::SimHarness sim({"--baud", "0"});
    connect_to(sim);
    ChooserAnswer answer;
    answer.inspect = [](GtkFileChooser*) {};
    with_chooser(answer, "menu_events");
    EXPECT_EQ(sim.log(), std::vector<std::string>{});
    EXPECT_EQ(status_text(), "");
    EXPECT_TRUE(test::standing_dialogs().empty());
}

TEST_F(EventExport, ADeviceWithoutEventMemoryIsRefusedFirst) {
    test::SimHarness sim({"--baud", "0", "--options", "1"});
    connect_to(sim);
    gtk_menu_item_activate(GTK_MENU_ITEM(widget("menu_events")));
    EXPECT_EQ(messages(), std::vector<std::string>{"This device does not feature event memory."});
    EXPECT_EQ(sim.log(), std::vector<std::string>{});
}

TEST_F(EventExport, FailuresLeaveTheOldFile) {
    struct Case {
        const char* what;
        std::vector<std::string> sim_args;
        std::string target; // relative to the test folder
        rlim_t size_limit;  // 0: none
        bool downloads;     // whether the dump is asked for
    };
    const Case cases[] = {
        {"short dump", {"--fault", "short-dump"}, "events.csv", 0, true},
        {"no reply", {"--fault", "no-reply", "--fault-address", "65504"}, "events.csv", 0, true},
        {"disk full", {}, "events.csv", 100000, true},
        {"no such folder", {}, "missing/events.csv", 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::string> args{"--baud", "0"};
        args.insert(args.end(), c.sim_args.begin(), c.sim_args.end());
        test::SimHarness sim(args);
        connect_to(sim);
        const std::string old = "kept\n";
        put(path("events.csv"), old);
        {
            std::unique_ptr<FileSizeLimit> limit;
            if (c.size_limit)
                limit = std::make_unique<FileSizeLimit>(c.size_limit);
            save_events(path(c.target).c_str());
        }
        EXPECT_EQ(messages(), std::vector<std::string>{"Error writing event CSV file."});
        test::close_dialogs();
        EXPECT_EQ(slurp(path("events.csv")), old);
        EXPECT_EQ(entries(), std::vector<std::string>{"events.csv"});
        EXPECT_EQ(!sim.log().empty() && sim.log().front() == "R 65504 1", c.downloads);
        EXPECT_FALSE(GTK_WIDGET_VISIBLE(widget("events_progress")));
        gtk_toggle_tool_button_set_active(GTK_TOGGLE_TOOL_BUTTON(widget("Connect")), FALSE);
        test::close_dialogs();
    }
}

TEST_F(EventExport, RefusedWhileAnotherTransferRuns) {
    options = OPTION_EVENTS;
    TransferGuard running;
    gtk_menu_item_activate(GTK_MENU_ITEM(widget("menu_events")));
    save_events(path("events.csv").c_str());
    EXPECT_TRUE(test::standing_dialogs().empty()) << "no chooser, no message";
    EXPECT_FALSE(g_file_test(path("events.csv").c_str(), G_FILE_TEST_EXISTS));
}
