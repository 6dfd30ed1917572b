// Connect, Download, Upload, Compare and the faults of the link: the real window, its buttons,
// and kelvra-sim on a pseudo-terminal, checked against the requests the simulator received.
#include "device.h"
#include "gui/commands.h"
#include "base/gmem.h"
#include "gui/linkwindow.h"
#include "gui/compare.h"
#include "gui/config.h"
#include "gui/connection.h"
#include "gui/events.h"
#include "gui/eventview.h"
#include "gui/params.h"
#include "gui/transfer.h"
#include "history/history.h"
#include "link/serial.h"
#include "support/sim_harness.h"
#include "support/window.h"
#include "text/choices.h"

#include <algorithm>
#include <glib/gstdio.h>
#include <filesystem>
#include <ctime>
#include <iterator>
#include <sstream>

namespace {

using Lines = std::vector<std::string>;
using test::click;
using test::messages;
using test::widget;

using test::COMM, test::PROTOCOL, test::UNKNOWN;
const char* CSV = "Error writing event CSV file.";
// The Download of the simulator's default controller: full, 14 relays, MODBUS, event memory.
const char* DOWNLOAD = "R 0 14|R 20 14|R 120 14|R 140 14|R 40 14|R 60 14|R 80 14|R 100 14|"
                       "R 160 14|R 200 14|R 300 2|R 320 3|R 400 6";

// "R 0 3|R 20 3" as log lines.
Lines lines(const std::string& joined) {
    Lines out;
    std::istringstream in(joined);
    for (std::string line; std::getline(in, line, '|');)
        out.push_back(line);
    return out;
}

Lines writes_in(const Lines& log) {
    Lines out;
    std::copy_if(log.begin(), log.end(), std::back_inserter(out),
                 [](const std::string& l) { return l[0] == 'W'; });
    return out;
}

// Request lines without the written values. A request torn on a heavily loaded host reaches
// the simulator as noise ("?" lines) and the link sends it again; that is not what these cases
// check, so the noise is left out.
Lines heads(const Lines& log) {
    Lines out;
    for (const std::string& line : log) // the third space ends the count
        if (line[0] != '?')
            out.push_back(line.substr(0, line.find(' ', line.find(' ', 2) + 1)));
    return out;
}

// The numbers of a request line: its first register, their count, the values written.
std::vector<int> numbers(const std::string& line) {
    std::istringstream in(line.substr(2));
    return {std::istream_iterator<int>(in), std::istream_iterator<int>()};
}

class Commands : public test::GuiTest {
  protected:
    static GtkToggleToolButton* button() { return GTK_TOGGLE_TOOL_BUTTON(widget("Connect")); }
    static bool connected() { return gtk_toggle_tool_button_get_active(button()); }
    static void set_connected(bool on) { gtk_toggle_tool_button_set_active(button(), on); }
    static bool sensitive(const std::string& n) { return GTK_WIDGET_SENSITIVE(widget(n.c_str())); }
    static void compare() { gtk_menu_item_activate(GTK_MENU_ITEM(widget("menu_comparedevice"))); }

    // The window as the connection state calls for, with these messages standing: the button, its
    // icon, the device commands; once disconnected a closed link, an empty status bar and no
    // register widget to edit.
    static void expect_state(bool on, const Lines& said = {}) {
        EXPECT_EQ(messages(), said);
        EXPECT_EQ(connected(), on);
        EXPECT_STREQ(gtk_tool_button_get_stock_id(GTK_TOOL_BUTTON(button())),
                     on ? "gtk-connect" : "gtk-disconnect");
        for (const char* name : {"Download", "Upload", "menu_events"})
            EXPECT_EQ(sensitive(name), on) << name;
        EXPECT_EQ(controller.is_open(), on);
        if (on)
            return;
        EXPECT_EQ(test::status_text(), "");
        int editable = 0;
        for (const RegisterEntry& e : kelvra_register)
            for (GtkWidget* w : e.widget)
                editable += w && GTK_WIDGET_SENSITIVE(w);
        EXPECT_EQ(editable, 0) << "register widgets left sensitive";
    }

    void SetUp() override {
        GuiTest::SetUp();
        test::load_main_window(variant_full);
        init_registers();
        // Upload's confirmation is asked only where a test wants it.
        confirm_uploads = false;
    }
    void TearDown() override {
        controller.close();
        GuiTest::TearDown();
    }
    // Connects to the simulator and leaves only what follows the identification in its log.
    void connect_to(test::SimHarness& sim, bool download = false) {
        ASSERT_TRUE(sim.started());
        set_connected(true);
        ASSERT_TRUE(connected()) << ::testing::PrintToString(messages());
        EXPECT_EQ(sim.log(), Lines{"R 65520 9"});
        if (download)
            click("Download");
        ASSERT_EQ(messages(), Lines{});
        sim.clear_log();
    }
};

struct Layout {
    const Variant* window;
    int relays, opts;
    const char* blocks;
};

void PrintTo(const Layout& c, std::ostream* os) {
    *os << c.window->program << ", " << c.relays << " relays, options " << c.opts;
}

class DownloadOrder : public Commands, public ::testing::WithParamInterface<Layout> {
  protected:
    static constexpr const char* COMMANDS[] = {
        "Connect",         "Download",        "Upload",          "menu_events",
        "menu_viewevents", "menu_openconfig", "menu_saveconfig", "menu_about"};
    // Run by the nested event dispatch of the transfer.
    static gboolean interfere(gpointer) {
        EXPECT_TRUE(transfer_running());
        for (const char* name : COMMANDS)
            EXPECT_FALSE(sensitive(name)) << name;
        // The buttons are insensitive; even their handlers, reached some other way, do nothing.
        on_button_download_clicked(nullptr, nullptr);
        on_button_upload_clicked(nullptr, nullptr);
        set_connected(false);
        return FALSE;
    }
};

// What the controller has decides what can be edited and what is read, in which order; commands
// that arrive meanwhile are refused. Upload writes the same blocks back, those of relays for the
// relays the window has.
TEST_P(DownloadOrder, ReadsTheControllersBlocksAndUploadWritesThemBack) {
    auto [window, relays, opts, blocks] = GetParam();
    bool full = window == &variant_full;
    test::unload_main_window();
    test::load_main_window(*window);
    init_registers();
    test::SimHarness sim({"--relays", std::to_string(relays), "--options", std::to_string(opts),
                          "--variant", full ? "full" : "rtd"});
    connect_to(sim);
    EXPECT_EQ(test::status_text(), "Connected: " + std::to_string(relays) + " relays, " +
                                       (opts & OPTION_DNP3 ? "DNP3" : "MODBUS") + " port, " +
                                       (opts & OPTION_EVENTS ? "" : "no ") + "event memory.");
    for (int n = 1; n <= RELAYS_BOUND; ++n)
        EXPECT_EQ(sensitive("SetPoint C " + std::to_string(n)), n <= relays) << n;
    EXPECT_EQ(sensitive("DNP3Address"), (opts & OPTION_DNP3) != 0);
    EXPECT_TRUE(sensitive("Date") && sensitive("DailyCoolingStartMinute"));
    GtkComboBox* alternate = GTK_COMBO_BOX(widget("AlternateActivation"));
    gtk_combo_box_set_active(alternate, 1);
    gchar* row = gtk_combo_box_get_active_text(alternate);
    EXPECT_EQ(row, alternate_activation_choices(relays)[1]);
    g_free(row);

    g_idle_add(interfere, nullptr); // the replies are paced at 115200 baud
    click("Download");
    Lines reads = lines(blocks);
    EXPECT_EQ(sim.log(), reads);
    EXPECT_EQ(test::status_text(), "Parameters downloaded.");
    for (const char* name : COMMANDS)
        EXPECT_TRUE(sensitive(name)) << name;
    // Upload writes what differs from the controller, and the clock: a relay's block for the
    // relays the window has (never a 15th).
    sim.clear_log();
    if (relays > 0)
        gtk_spin_button_set_value(GTK_SPIN_BUTTON(widget("SetPoint C 1")), 120);
    click("Upload");
    EXPECT_EQ(messages(), Lines{});
    EXPECT_EQ(test::status_text(), "Parameters uploaded.");
    Lines expected{"W 400 6"};
    if (relays > 0)
        expected.insert(expected.begin(), "W 0 " + std::to_string(std::min(relays, RELAYS_BOUND)));
    EXPECT_EQ(heads(writes_in(sim.log())), expected);
}

// A read of no registers is no request at all; relays beyond the window's are read, not written.
INSTANTIATE_TEST_SUITE_P(
    Variants, DownloadOrder,
    ::testing::Values(Layout{&variant_full, 0, 0, "R 200 14|R 300 2|R 320 3|R 400 6"},
                      Layout{&variant_full, 15, 3,
                             "R 0 15|R 20 15|R 120 15|R 140 15|R 40 15|R 60 15|R 80 15|R 100 15|"
                             "R 160 15|R 200 14|R 300 2|R 340 8|R 400 6"},
                      Layout{&variant_rtd, 3, 0,
                             "R 0 3|R 20 3|R 40 3|R 60 3|R 80 3|R 100 3|R 160 3|R 200 5|"
                             "R 300 2|R 320 3|R 400 6"},
                      Layout{&variant_rtd, 3, 1,
                             "R 0 3|R 20 3|R 40 3|R 60 3|R 80 3|R 100 3|R 160 3|R 200 5|"
                             "R 300 2|R 340 8|R 400 6"}));

// A link that cannot open, a value Upload cannot send, codes that are no failure, and failures
// that release the link, once said; the button releases it too, and what was read stays shown.
TEST_F(Commands, RefusalsLinkErrorsAndRelease) {
    setenv("KELVRA_PORT", "/nonexistent/kelvra-port", 1);
    set_connected(true);
    unsetenv("KELVRA_PORT");
    expect_state(false, {"The port /nonexistent/kelvra-port does not exist."});
    test::close_dialogs();

    test::SimHarness sim({"--relays", "3", "--baud", "0"});
    connect_to(sim, true);
    for (int code : {1, -3})
        serial_error(code);
    set_register(61, 99);  // relay 2's associated channel: no row
    set_register(160, 99); // relay 1's associated function, reported first
    click("Upload");
    expect_state(true, {"Parameter 'Associated Function 1' not defined."});
    EXPECT_EQ(writes_in(sim.log()), Lines{});
    test::close_dialogs();
    set_connected(false);
    expect_state(false);
    EXPECT_EQ(test::register_values({1})[1], 90) << "what was read stays";

    set_connected(true);
    serial_error(0);
    expect_state(false, {COMM});
    test::close_dialogs();
    serial_error(-1); // already released: the message only
    expect_state(false, {PROTOCOL});
}

// The one standing dialog, a list of differences: its heading and rows; answered and gone.
Lines listed() {
    std::vector<GtkWidget*> standing = test::standing_dialogs();
    if (standing.size() != 1)
        return messages();
    Lines out{test::dialog_text(standing[0])};
    for (const std::string& row : test::difference_rows(standing[0]))
        out.push_back(row);
    test::close_dialogs();
    return out;
}

// Compare lists what differs, page by page, and reads without touching the window; Upload asks
// with the same list first, then reports what the controller did not keep. With the question
// turned off, a clock more than a minute off is still said before it is sent.
TEST_F(Commands, DifferencesAndTheQuestionsAroundUpload) {
    test::SimHarness sim({"--relays", "2", "--baud", "0", "--clamp", "1:92"});
    connect_to(sim, true);
    confirm_uploads = true;
    compare();
    EXPECT_EQ(listed(), Lines{"No differences."});
    click("Upload"); // nothing to write
    EXPECT_EQ(listed(), Lines{"No differences."});
    test::TempDir dir;
    save_config(dir.path("a.cfg").c_str());

    gtk_spin_button_set_value(GTK_SPIN_BUTTON(widget("SetPoint C 2")), 95);
    compare();
    Lines rows{"Relays", "Relays|Set Point (°C) 2|95|90"};
    EXPECT_EQ(listed(), (Lines{"The window and the controller differ in:", rows[0], rows[1]}));
    EXPECT_EQ(test::register_values({1})[1], 95);
    test::respond([] { click("Upload"); }, "compare_dialog", GTK_RESPONSE_CANCEL,
                  [&rows](GtkWidget* d) { EXPECT_EQ(test::difference_rows(d), rows); });
    EXPECT_EQ(writes_in(sim.log()), Lines{}) << "compared, asked and cancelled";

    // Accepted: written, read back, and the value the controller clamped is reported.
    sim.clear_log();
    test::respond([] { click("Upload"); }, "compare_dialog", GTK_RESPONSE_ACCEPT,
                  [](GtkWidget* d) {
                      gtk_toggle_button_set_active(
                          GTK_TOGGLE_BUTTON(g_object_get_data(G_OBJECT(d), "dont_ask")), TRUE);
                  });
    Lines log = heads(sim.log());
    EXPECT_EQ(log[2], "R 0 2") << "identified, then the controller's values read";
    EXPECT_EQ(heads(writes_in(log)), (Lines{"W 0 2", "W 400 6"})) << "what differs, and the clock";
    EXPECT_EQ(log.back(), "R 0 2") << "what was written read back (not the clock)";
    Lines kept{"The controller kept a different value for 1 parameter.", "Relays",
               "Relays|Set Point (°C) 2|95|92"};
    EXPECT_EQ(listed(), kept);
    expect_state(true);

    // "Do not ask again" holds, but for a stale clock; "Set to computer time" puts it right.
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    set_register(400, static_cast<uint16_t>((local.tm_hour + 2) % 24));
    test::respond([] { click("Upload"); }, "compare_dialog", GTK_RESPONSE_CANCEL,
                  [](GtkWidget* d) {
                      std::string heading = test::dialog_text(d);
                      EXPECT_NE(heading.find("more than a minute off"), heading.npos) << heading;
                  });
    gtk_button_clicked(GTK_BUTTON(widget("SetClockNow")));
    std::map<int, uint16_t> clock = test::register_values({400, 401, 403, 404, 405});
    EXPECT_EQ(clock[400], local.tm_hour);
    EXPECT_EQ(clock[403] * 10000 + clock[404] * 100 + clock[405],
              local.tm_mday * 10000 + (local.tm_mon + 1) * 100 + local.tm_year - 100);
    sim.clear_log();
    click("Upload");
    EXPECT_EQ(heads(writes_in(sim.log())).front(), "W 0 2");
    EXPECT_EQ(listed(), kept);

    // Against the file saved before the edits; also once disconnected, in the file's layout.
    gtk_combo_box_set_active(GTK_COMBO_BOX(widget("MODBUSBaudRate")), 4);
    for (bool on : {true, false}) {
        set_connected(on);
        test::choose("menu_comparefile", dir.path("a.cfg"));
        EXPECT_EQ(listed(), (Lines{"The window and the file differ in:", rows[0], rows[1],
                                   "Communication", "Communication|MODBUS Baud Rate|19200|1200"}))
            << on;
    }
}

// Faults that kelvra-sim injects into one request of each command: the message, the state the
// window is left in, the requests that reached the controller (the link retries only what it
// could not read), and that a new connection works.
enum Step { CONNECT, DOWNLOAD_BLOCK, UPLOAD_BLOCK, EVENTS, COMPARE, READ_BACK };
// Each step's name, the request of it that meets the fault, and the widget that runs it (the
// export, run directly, has none).
const struct {
    const char *name, *request, *command;
} STEPS[] = {{"Connect", "R 65520 9", "Connect"}, {"Download", "R 200 14", "Download"},
             {"Upload", "W 300 2", "Upload"},     {"Events", "R 65504 1", nullptr},
             {"Compare", "R 200 14", nullptr},    {"ReadBack", "R 200 14", "Upload"}};

struct Fault {
    const char* kind;
    int hits;            // requests of the step it reaches
    const char* message; // null: the step succeeds
};
// Register requests: what the link could not read is sent twice; a hang-up leaves nothing to
// send the second attempt to.
const Fault REGISTER_FAULTS[] = {
    {"no-reply", 2, COMM},       {"bad-crc", 2, COMM},        {"stray-byte", 2, COMM},
    {"hangup", 1, COMM},         {"exception", 1, PROTOCOL},  {"short-reply", 1, UNKNOWN},
    {"long-reply", 1, UNKNOWN},  {"wrong-slave", 1, UNKNOWN}, {"wrong-function", 1, UNKNOWN},
    {"wrong-count", 1, UNKNOWN}, {"split", 1, nullptr},
};
// The dump is asked for once.
const Fault DUMP_FAULTS[] = {
    {"no-reply", 1, CSV}, {"short-dump", 1, CSV}, {"long-dump", 1, CSV},
    {"hangup", 1, CSV},   {"split", 1, nullptr},
};

using Case = std::tuple<Step, Fault>;

// The requests of a step up to its faulted one, which comes `hits` times; all when it succeeds.
Lines expected_requests(Step step, const Fault& fault) {
    Lines all = lines(step == CONNECT ? "R 65520 9" : step == EVENTS ? "R 65504 1" : DOWNLOAD);
    if (step == UPLOAD_BLOCK || step == READ_BACK) { // identified, read, what differs written
        all.insert(all.begin(), {"R 65520 9", "R 205 1"});
        all.insert(all.end(), {"W 200 14", "W 300 2", "W 400 6", "R 200 14", "R 300 2"});
    }
    if (!fault.message)
        return all;
    // The last of its kind: the read-back reads a block the Upload read before.
    auto at = std::find(all.rbegin(), all.rend(), STEPS[step].request).base() - 1;
    Lines out(all.begin(), at + 1);
    out.insert(out.end(), size_t(fault.hits - 1), *at);
    return out;
}

class Faults : public Commands, public ::testing::WithParamInterface<Case> {};

TEST_P(Faults, ReportedThenANewConnectionWorks) {
    auto [step, fault] = GetParam();
    test::TempDir dir;
    const std::string csv = dir.path("events.csv");
    test::put(csv, "kept\n");
    // Upload follows a Download; the faulted block is met by the Download's read, then the
    // read before the Upload's own read, and its write, in turn.
    bool upload = step == UPLOAD_BLOCK || step == READ_BACK;
    test::SimHarness sim({"--baud", "0", "--fault", fault.kind, "--fault-address",
                          std::to_string(numbers(STEPS[step].request)[0]), "--fault-skip",
                          std::to_string(upload * 2 + (step == READ_BACK)), "--fault-count",
                          std::to_string(fault.hits)});
    if (step != CONNECT)
        connect_to(sim, upload);
    if (upload) // two blocks to write besides the clock
        for (const char* name : {"EventTimer", "IoutFS"})
            gtk_spin_button_set_value(GTK_SPIN_BUTTON(widget(name)), 7);
    if (step == EVENTS)
        save_events(csv.c_str());
    else if (step == COMPARE)
        compare();
    else
        click(STEPS[step].command);
    EXPECT_EQ(heads(sim.log()), expected_requests(step, fault));
    // A failed event export leaves the connection as it was.
    // A failed upload says how far it got.
    std::string said = fault.message ? fault.message : "";
    if (fault.message && step == UPLOAD_BLOCK)
        said += "\nThe upload stopped after 1 of its 3 writes; running it again completes it.";
    if (fault.message && step == READ_BACK)
        said += "\nAll 3 writes were made; reading them back failed.";
    expect_state(!fault.message || step == EVENTS, fault.message ? Lines{said} : Lines{});
    if (step == DOWNLOAD_BLOCK) {
        EXPECT_EQ(test::register_values({2})[2], 100) << "read before the fault, kept";
    } else if (step == EVENTS) {
        std::string golden = test::slurp(test::source_path("tests/data/events_sim_full.csv"));
        EXPECT_EQ(test::slurp(csv), fault.message ? "kept\n" : golden);
    }

    test::close_dialogs();
    set_connected(false);
    sim.clear_log();
    connect_to(sim, true);
}

std::string case_name(const ::testing::TestParamInfo<Case>& info) {
    auto [step, fault] = info.param;
    std::string name = std::string(STEPS[step].name) + "_" + fault.kind;
    std::replace(name.begin(), name.end(), '-', '_');
    return name;
}

INSTANTIATE_TEST_SUITE_P(Registers, Faults,
                         ::testing::Combine(::testing::Values(CONNECT, DOWNLOAD_BLOCK,
                                                              UPLOAD_BLOCK),
                                            ::testing::ValuesIn(REGISTER_FAULTS)),
                         case_name);
// A Compare that works, and a read-back that does, are tested above: split, the last, is left out.
INSTANTIATE_TEST_SUITE_P(Reads, Faults,
                         ::testing::Combine(::testing::Values(COMPARE, READ_BACK),
                                            ::testing::ValuesIn(std::begin(REGISTER_FAULTS),
                                                                std::end(REGISTER_FAULTS) - 1)),
                         case_name);
INSTANTIATE_TEST_SUITE_P(Dump, Faults,
                         ::testing::Combine(::testing::Values(EVENTS),
                                            ::testing::ValuesIn(DUMP_FAULTS)),
                         case_name);

// The window reaches a controller where its Connection Settings say, remembered for the next
// start; Help shows what went over the link and records a trace; with several bridges attached,
// Connect asks which.
TEST_F(Commands, ConnectionSettingsStatisticsTraceAndTheChoiceOfBridge) {
    test::SimHarness sim({"--baud", "0", "--tcp", "0", "--slave", "5"});
    ASSERT_TRUE(sim.started());
    const std::string url = sim.port();
    test::respond(
        [] { gtk_menu_item_activate(GTK_MENU_ITEM(widget("menu_connection"))); },
        "connection_dialog", GTK_RESPONSE_OK,
        [&url](GtkWidget* d) {
            gtk_entry_set_text(GTK_ENTRY(find_named_widget(d, "connection_where")), url.c_str());
            gtk_spin_button_set_value(GTK_SPIN_BUTTON(find_named_widget(d, "connection_slave")), 5);
        });
    GCharPtr kept(g_build_filename(g_get_user_config_dir(), "kelvra", "connection.ini", nullptr));
    std::string ini = test::slurp(kept.get());
    EXPECT_NE(ini.find("where=" + url), std::string::npos) << ini;
    EXPECT_NE(ini.find("slave=5"), std::string::npos) << ini;
    controller.set_settings({});
    load_link_settings(); // as the next start does
    EXPECT_EQ(std::pair(controller.settings().where, int(controller.settings().slave)),
              std::pair(url, 5));

    test::TempDir dir;
    test::choose("menu_trace", dir.path("trace.txt"));
    set_connected(true);
    click("Download");
    EXPECT_EQ(test::status_text(), "Parameters downloaded.");
    gtk_check_menu_item_set_active(GTK_CHECK_MENU_ITEM(widget("menu_trace")), FALSE);
    EXPECT_NE(test::slurp(dir.path("trace.txt")).find(" > 05 03 00 c8 00 0e"), std::string::npos);
    gtk_menu_item_activate(GTK_MENU_ITEM(widget("menu_linkstats")));
    std::string said = messages().at(0);
    EXPECT_TRUE(said.starts_with(url + "\nLink: 14 requests, 14 replies, 0 timeouts")) << said;
    test::close_dialogs();
    set_connected(false);
    g_unlink(kept.get());

    // Two bridges attached and no port set: the second is chosen, and it is not there.
    controller.set_settings({});
    unsetenv("KELVRA_PORT");
    namespace fs = std::filesystem;
    const fs::path root = dir.path("sys");
    for (int n : {7, 8}) {
        const std::string tty = "ttyUSB" + std::to_string(n);
        const fs::path usb = root / "devices/usb1" / ("1-" + std::to_string(n));
        fs::create_directories(usb / "if" / tty);
        fs::create_directories(root / "class/tty" / tty);
        fs::create_symlink(usb / "if" / tty, root / "class/tty" / tty / "device");
        test::put((usb / "idVendor").string(), "0403\n");
        test::put((usb / "product").string(), "UNIT-A/1\n");
    }
    g_setenv("KELVRA_SYSFS", root.c_str(), TRUE);
    test::respond([] { set_connected(true); }, "bridge_dialog", GTK_RESPONSE_OK,
                  [](GtkWidget* d) {
                      GtkWidget* list = find_named_widget(d, "bridge_list");
                      EXPECT_EQ(combo_rows(list).size(), 2u);
                      gtk_combo_box_set_active(GTK_COMBO_BOX(list), 1);
                  });
    expect_state(false, {"The port /dev/ttyUSB8 does not exist."});
    EXPECT_EQ(controller.settings().where, "") << "the choice holds for one connection";
    g_unsetenv("KELVRA_SYSFS");
}

// With an asset name, Download, Upload, the event downloads and the report keep versions as
// kelvra-cli does, and the History dialog brings an old version back through Upload.
TEST_F(Commands, HistoryKeepsTheTransfersAndRestoresAVersion) {
    test::TempDir dir;
    g_setenv("KELVRA_HISTORY", dir.path("history").c_str(), TRUE);
    test::respond([] { gtk_menu_item_activate(GTK_MENU_ITEM(widget("menu_connection"))); },
                  "connection_dialog", GTK_RESPONSE_OK,
                  [](GtkWidget* d) {
                      gtk_entry_set_text(GTK_ENTRY(find_named_widget(d, "connection_asset")),
                                         "site12");
                  });
    test::SimHarness sim({"--baud", "0", "--relays", "2", "--options", "3", "--events", "50"});
    connect_to(sim, true);
    EXPECT_EQ(test::status_text(), "Parameters downloaded. Kept in the history of site12.");
    gtk_spin_button_set_value(GTK_SPIN_BUTTON(widget("SetPoint C 1")), 95);
    click("Upload");
    EXPECT_EQ(test::status_text(), "Parameters uploaded. Kept in the history of site12.");

    // Each event download merges into the asset's event history, each record once; the viewer
    // shows that history, and the History dialog opens it without the controller.
    auto viewed = [] {
        GtkWidget* viewer = current_event_viewer();
        GtkTreeView* table = GTK_TREE_VIEW(event_viewer_part(viewer, "events_table"));
        std::pair<std::string, int> seen{
            gtk_window_get_title(GTK_WINDOW(viewer)),
            gtk_tree_model_iter_n_children(gtk_tree_view_get_model(table), nullptr)};
        gtk_widget_destroy(viewer);
        return seen;
    };
    for (int twice = 0; twice < 2; ++twice)
        gtk_menu_item_activate(GTK_MENU_ITEM(widget("menu_viewevents")));
    auto [title, rows] = viewed();
    EXPECT_EQ(rows, 50);
    EXPECT_NE(title.find("site12 — 2025-01-01"), std::string::npos) << title;

    // File > Report reads the controller into a set of its own: the window keeps the value
    // edited and not uploaded; the report has what the controller holds, the upload's read-back
    // and change, and the events; the read is a version.
    GtkSpinButton* set_point = GTK_SPIN_BUTTON(widget("SetPoint C 1"));
    gtk_spin_button_set_value(set_point, 70);
    const std::string pdf = dir.path("r.pdf");
    test::choose("menu_report", pdf);
    EXPECT_EQ(messages(), Lines{});
    EXPECT_EQ(test::status_text(), "Report written to " + pdf + ". Kept in the history of site12.");
    EXPECT_EQ(std::pair(gtk_spin_button_get_value(set_point), int(parameters.value(0))),
              std::pair(70.0, 70));
    std::string text = test::pdf_text(pdf);
    for (const char* said :
         {"Asset site12 ", "Relays 2 ", "Relay 1 Set Point (°C) 1 95 °C ",
          "Read back every value as written. ",
          "What the upload changed Set Point (°C) 1 80 °C → 95 °C ",
          "Changed on the controller since Nothing", "50 records (of 50 kept)", "Page 1 of "})
        EXPECT_NE(text.find(said), std::string::npos) << said << "\nin: " << text;

    set_connected(false);
    test::respond([] { gtk_menu_item_activate(GTK_MENU_ITEM(widget("menu_history"))); },
                  "history_dialog", 4 /* Events */,
                  [](GtkWidget* d) {
                      g_timeout_add(
                          50,
                          [](gpointer dialog) {
                              gtk_dialog_response(GTK_DIALOG(dialog), GTK_RESPONSE_CLOSE);
                              return FALSE;
                          },
                          d);
                  });
    EXPECT_EQ(viewed().second, 50);
    EXPECT_EQ(messages(), Lines{});
    sim.clear_log();
    connect_to(sim, true);
    sim.clear_log();
    test::respond([] { gtk_menu_item_activate(GTK_MENU_ITEM(widget("menu_history"))); },
                  "history_dialog", 2 /* Restore */,
                  [](GtkWidget* d) {
                      GtkTreeView* list = GTK_TREE_VIEW(find_named_widget(d, "history_list"));
                      GtkTreeModel* model = gtk_tree_view_get_model(list);
                      EXPECT_EQ(gtk_tree_model_iter_n_children(model, nullptr), 7);
                      GtkTreePath* oldest = gtk_tree_path_new_from_indices(6, -1);
                      gtk_tree_selection_select_path(gtk_tree_view_get_selection(list), oldest);
                      gtk_tree_path_free(oldest);
                  });
    Lines written = writes_in(sim.log());
    ASSERT_FALSE(written.empty());
    EXPECT_EQ(numbers(written.front()), (std::vector<int>{0, 2, 80, 90})) << "the first value back";
    GCharPtr settings(
        g_build_filename(g_get_user_config_dir(), "kelvra", "connection.ini", nullptr));
    g_unlink(settings.get());
    g_unsetenv("KELVRA_HISTORY");
}

} // namespace
