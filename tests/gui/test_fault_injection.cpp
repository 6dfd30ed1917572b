// Faults that kelvra-sim injects into one request of each kind the window makes: the
// identification read of Connect, a Download block, an Upload write and the event dump. Each
// case checks the message, the state the window is left in, the requests that reached the
// controller (the link retries only what it could not read), and that a new connection works.
#include "gui/compare.h"
#include "gui/events.h"
#include "gui/params.h"
#include "link/serial.h"
#include "support/sim_harness.h"
#include "support/window.h"

#include <algorithm>
#include <fstream>
#include <glib/gstdio.h>
#include <sstream>

namespace {

using Lines = std::vector<std::string>;

const char* COMM = "Communication error -- check your USB connection.";
const char* PROTOCOL = "Protocol error -- equipment is incompatible with this software.";
const char* UNKNOWN = "Unknown communication error.";
const char* CSV = "Error writing event CSV file.";
const char* DOWNLOAD = "R 0 14|R 20 14|R 120 14|R 140 14|R 40 14|R 60 14|R 80 14|R 100 14|"
                       "R 160 14|R 200 14|R 300 2|R 320 3|R 400 6";

enum Step { CONNECT, DOWNLOAD_BLOCK, UPLOAD_BLOCK, EVENTS };
const char* STEP_NAMES[] = {"Connect", "Download", "Upload", "Events"};

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

struct Case {
    Step step;
    Fault fault;
};

void PrintTo(const Case& c, std::ostream* os) {
    *os << STEP_NAMES[c.step] << " " << c.fault.kind;
}

std::vector<Case> all_cases() {
    std::vector<Case> out;
    for (Step s : {CONNECT, DOWNLOAD_BLOCK, UPLOAD_BLOCK})
        for (const Fault& f : REGISTER_FAULTS)
            out.push_back({s, f});
    for (const Fault& f : DUMP_FAULTS)
        out.push_back({EVENTS, f});
    return out;
}

std::string case_name(const ::testing::TestParamInfo<Case>& info) {
    std::string name = std::string(STEP_NAMES[info.param.step]) + "_" + info.param.fault.kind;
    std::replace(name.begin(), name.end(), '-', '_');
    return name;
}

Lines split(const std::string& joined) {
    Lines out;
    std::istringstream in(joined);
    for (std::string line; std::getline(in, line, '|');)
        out.push_back(line);
    return out;
}

// The requests of a step up to its faulted one, which comes `hits` times; all when it succeeds.
Lines expected_requests(const Case& c) {
    Lines all = split(c.step == CONNECT ? "R 65520 9" : c.step == EVENTS ? "R 65504 1" : DOWNLOAD);
    if (c.step == UPLOAD_BLOCK) // the same blocks, written
        for (std::string& line : all)
            line[0] = 'W';
    const std::string target = c.step == DOWNLOAD_BLOCK ? "R 200 14"
                               : c.step == UPLOAD_BLOCK ? "W 300 2"
                                                        : all.front();
    if (!c.fault.message && c.step == UPLOAD_BLOCK) { // and what was written is read back
        for (const std::string& line : split(DOWNLOAD))
            if (line != "R 400 6")
                all.push_back(line);
    }
    if (!c.fault.message)
        return all;
    Lines out;
    for (const std::string& line : all) {
        out.push_back(line);
        if (line == target)
            break;
    }
    out.insert(out.end(), size_t(c.fault.hits - 1), target);
    return out;
}

const char* fault_address(Step step) {
    return step == CONNECT          ? "65520"
           : step == DOWNLOAD_BLOCK ? "200"
           : step == UPLOAD_BLOCK   ? "300"
                                    : "65504";
}

// Request lines without the written values. A request torn on a heavily loaded host reaches
// the simulator as noise ("?" lines) and the link sends it again; that is not what these cases
// check, so the noise is left out.
Lines heads(const Lines& log) {
    Lines out;
    for (const std::string& line : log) {
        std::istringstream in(line);
        std::string kind, first, count;
        in >> kind >> first >> count;
        if (kind != "?")
            out.push_back(kind + " " + first + " " + count);
    }
    return out;
}

using test::widget;
GtkToggleToolButton* connect_button() {
    return GTK_TOGGLE_TOOL_BUTTON(widget("Connect"));
}
bool connected() {
    return gtk_toggle_tool_button_get_active(connect_button());
}
void click(const char* name) {
    gtk_button_clicked(GTK_BUTTON(gtk_bin_get_child(GTK_BIN(widget(name)))));
}
Lines messages() {
    Lines out;
    for (GtkWidget* d : test::standing_dialogs())
        out.push_back(test::dialog_text(d));
    return out;
}

// The window as the connection state calls for: the button, its icon, the device commands
// and, when disconnected, every register widget.
void expect_state(bool connected_state) {
    EXPECT_EQ(connected(), connected_state);
    EXPECT_STREQ(gtk_tool_button_get_stock_id(GTK_TOOL_BUTTON(connect_button())),
                 connected_state ? "gtk-connect" : "gtk-disconnect");
    EXPECT_TRUE(GTK_WIDGET_SENSITIVE(widget("Connect")));
    for (const char* name : {"Download", "Upload", "menu_events"})
        EXPECT_EQ(GTK_WIDGET_SENSITIVE(widget(name)), connected_state) << name;
    EXPECT_EQ(serial_is_open(), connected_state);
    if (connected_state)
        return;
    int sensitive = 0;
    for (const RegisterEntry& e : kelvra_register)
        for (GtkWidget* w : e.widget)
            sensitive += w && GTK_WIDGET_SENSITIVE(w);
    EXPECT_EQ(sensitive, 0) << "register widgets left sensitive";
}

class Faults : public test::GuiTest, public ::testing::WithParamInterface<Case> {
  protected:
    void SetUp() override {
        GuiTest::SetUp();
        test::load_main_window(variant_full);
        init_registers();
        gchar* d = g_dir_make_tmp("kelvra-faults-XXXXXX", nullptr);
        ASSERT_NE(d, nullptr);
        csv_ = std::string(d) + "/events.csv";
        g_free(d);
        std::ofstream(csv_) << "kept\n";
        // Faults in the confirmation's and the read-back's reads have tests of their own.
        confirm_uploads = false;
    }
    void TearDown() override {
        serial_close();
        GuiTest::TearDown();
        g_unlink(csv_.c_str());
        g_rmdir(csv_.substr(0, csv_.rfind('/')).c_str());
    }
    std::string csv_;
};

TEST_P(Faults, ReportedThenANewConnectionWorks) {
    const Case& c = GetParam();
    test::SimHarness sim({"--baud", "0", "--fault", c.fault.kind, "--fault-address",
                          fault_address(c.step), "--fault-count", std::to_string(c.fault.hits)});
    ASSERT_TRUE(sim.started());
    if (c.step != CONNECT) {
        gtk_toggle_tool_button_set_active(connect_button(), TRUE);
        ASSERT_TRUE(connected());
        sim.clear_log();
    }
    switch (c.step) {
    case CONNECT:
        gtk_toggle_tool_button_set_active(connect_button(), TRUE);
        break;
    case DOWNLOAD_BLOCK:
        click("Download");
        break;
    case UPLOAD_BLOCK:
        for (uint16_t a : validation_order(*variant, nrelays, options))
            set_register(a, kelvra_register[a].kind == REGISTER_COMBO_BOX ? 0 : 1);
        gtk_button_clicked(GTK_BUTTON(test::widget("SetClockNow"))); // else it would ask
        click("Upload");
        break;
    case EVENTS:
        save_events(csv_.c_str());
        break;
    }
    EXPECT_EQ(heads(sim.log()), expected_requests(c));
    EXPECT_EQ(messages(), c.fault.message ? Lines{c.fault.message} : Lines{});
    // A failed event download leaves the connection as it was.
    expect_state(!c.fault.message || c.step == EVENTS);
    if (c.step == EVENTS) {
        std::string written = test::slurp(csv_);
        EXPECT_TRUE(c.fault.message
                        ? written == "kept\n"
                        : written ==
                              test::slurp(test::source_path("tests/data/events_sim_full.csv")))
            << "the file left by the export";
    }

    test::close_dialogs();
    if (connected())
        gtk_toggle_tool_button_set_active(connect_button(), FALSE);
    sim.clear_log();
    gtk_toggle_tool_button_set_active(connect_button(), TRUE);
    ASSERT_TRUE(connected()) << ::testing::PrintToString(messages());
    click("Download");
    EXPECT_EQ(heads(sim.log()), split(std::string("R 65520 9|") + DOWNLOAD));
    EXPECT_EQ(messages(), Lines{});
    expect_state(true);
}

INSTANTIATE_TEST_SUITE_P(Injected, Faults, ::testing::ValuesIn(all_cases()), case_name);

} // namespace
