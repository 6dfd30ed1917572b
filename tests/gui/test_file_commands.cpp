// The configuration and event export commands on the real window, beyond what the working
// session covers: registers without a value, faults in a file read, writes that fail, the
// choosers, and the refusals of the export.
#include "gui/config.h"
#include "gui/events.h"
#include "gui/eventview.h"
#include "gui/params.h"
#include "gui/transfer.h"
#include "link/serial.h"
#include "support/sim_harness.h"
#include "support/window.h"

#include <filesystem>
#include <glib/gstdio.h>
#include <optional>

namespace {

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;
using test::messages;
using test::slurp;
using test::widget;

// Title, buttons, filter, overwrite confirmation, the folder it opens in and the name offered:
// none for an open.
void expect_chooser(GtkWidget* made, const char* title, const char* pattern, const char* offered,
                    const std::string& folder) {
    bool save = *offered;
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
    for (auto [response, stock] : {std::pair{GTK_RESPONSE_CANCEL, GTK_STOCK_CANCEL},
                                   {GTK_RESPONSE_ACCEPT, save ? GTK_STOCK_SAVE : GTK_STOCK_OPEN}}) {
        GtkWidget* b = gtk_dialog_get_widget_for_response(GTK_DIALOG(c), response);
        EXPECT_STREQ(b ? gtk_button_get_label(GTK_BUTTON(b)) : nullptr, stock);
    }
    for (const char* name : {"a.cfg", "a.csv"}) {
        GtkFileFilterInfo info{GTK_FILE_FILTER_DISPLAY_NAME, nullptr, nullptr, name, nullptr};
        EXPECT_EQ(gtk_file_filter_filter(gtk_file_chooser_get_filter(c), &info),
                  g_str_has_suffix(name, pattern + 1))
            << name;
    }
    EXPECT_EQ(gtk_file_chooser_get_action(c),
              save ? GTK_FILE_CHOOSER_ACTION_SAVE : GTK_FILE_CHOOSER_ACTION_OPEN);
    EXPECT_EQ(gtk_file_chooser_get_do_overwrite_confirmation(c), save);
    gchar* chosen = gtk_file_chooser_get_filename(c); // a save's folder and offered name
    EXPECT_EQ(chosen ? fs::path(chosen).filename().string() : "", offered) << title;
    g_free(chosen);
    gtk_widget_destroy(made);
}

class FileCommands : public test::GuiTest {
  protected:
    void SetUp() override {
        GuiTest::SetUp();
        // The choosers record accepted files in the user's recent files, in this folder.
        g_mkdir_with_parents(g_get_user_data_dir(), 0700);
        test::load_main_window(variant_full);
        init_registers();
    }
    void TearDown() override {
        controller.close();
        g_free(config_filename);
        config_filename = nullptr;
        nrelays = options = 0;
        GuiTest::TearDown();
    }
    std::string path(const std::string& name) const { return dir_.path(name); }
    test::TempDir dir_;
};

} // namespace

TEST_F(FileCommands, RegistersWithoutValueAreWrittenAsZero) {
    // Every field that has widgets holds a value, as after a Download; but the fifteenth relay
    // has no widgets.
    init_alternate_activation(0);
    nrelays = 15;
    for (uint16_t a : config_addresses(variant_full, 14, 0))
        set_register(a, 1);
    for (int a = CLOCK_BLOCK.first; a < CLOCK_BLOCK.first + CLOCK_BLOCK.count; ++a)
        set_register(a, 1);
    gtk_combo_box_set_active(GTK_COMBO_BOX(widget("Frequency")), -1);
    save_config(path("a.cfg").c_str());
    // Once from the validation, once from the writing: neither waits for an answer, and an
    // answer ends only the dialog it was given to.
    EXPECT_EQ(messages(), Lines(2, "Parameter 'Line Frequency' not defined."));
    gtk_dialog_response(GTK_DIALOG(test::standing_dialogs()[0]), GTK_RESPONSE_NONE);
    test::flush_events();
    EXPECT_EQ(messages(), Lines(1, "Parameter 'Line Frequency' not defined."));
    std::string text = slurp(path("a.cfg"));
    for (const char* line :
         {"address=\"210\">0<", "address=\"13\">1<", "address=\"14\">0<", "address=\"174\">0<"})
        EXPECT_NE(text.find(line), std::string::npos) << line;
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 9 * 15 + 14 + 2 + 3 + 4);
}

TEST_F(FileCommands, ReadingFaultsAreShownAfterWhatCameBefore) {
    set_register(212, 5);
    set_register(213, 5);
    set_register(400, 7);
    const struct {
        std::string file, text, message;
    } cases[] = {
        {path("bad.cfg"),
         "<configuration><device name=\"varnel\">"
         "<parameter type=\"uint16\" address=\"212\">30</parameter>"
         "<parameter type=\"uint16\" address=\"2000\">9</parameter>",
         "Invalid configuration file: attribute \"address\" with invalid value \"2000\"."},
        // The parser quotes the file's bytes: those that are not UTF-8 cannot be shown as such.
        {path("bytes.cfg"), "<configuration><device name=\"varnel\"></devic\xca\xca>",
         "devic\uFFFD\uFFFD"},
        {path("missing.cfg"), "", ""},
        {dir_.path(), "", ""}, // opens, cannot be read
    };
    for (const auto& c : cases) {
        if (!c.text.empty())
            test::put(c.file, c.text);
        open_config(c.file.c_str());
        ASSERT_EQ(messages().size(), 1u) << c.file;
        std::string said =
            c.text.empty() ? "Cannot open configuration file " + c.file + "." : c.message;
        EXPECT_NE(messages()[0].find(said), std::string::npos) << messages()[0];
        GtkWindow* d = GTK_WINDOW(test::standing_dialogs()[0]);
        EXPECT_TRUE(gtk_window_get_modal(d));
        EXPECT_EQ(gtk_window_get_transient_for(d), GTK_WINDOW(widget("kelvra_main")));
        EXPECT_STREQ(gtk_window_get_title(d), "Error");
        test::close_dialogs();
    }
    EXPECT_EQ(test::register_values({212, 213, 400}),
              (std::map<int, uint16_t>{{212, 30}, {213, 5}, {400, 7}}))
        << "applied before the fault, untouched after it, no clock";
}

// On a full disk or in a folder that is not there; the folder is known before the download.
TEST_F(FileCommands, AFileThatCannotBeWrittenLeavesTheOldOne) {
    test::SimHarness sim({"--baud", "0"});
    test::click("Connect");
    test::click("Download");
    const struct {
        void (*save)(const char*);
        const char* name;
        rlim_t limit; // none: the folder is missing
        Lines requests;
    } cases[] = {{save_config, "a.cfg", 600, {}},
                 {save_config, "a.cfg", 0, {}},
                 {save_events, "events.csv", 100000, {"R 65504 1"}},
                 {save_events, "events.csv", 0, {}}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.name) + (c.limit ? " on a full disk" : " in no folder"));
        test::put(path(c.name), "kept\n");
        sim.clear_log();
        {
            std::optional<test::FileSizeLimit> limit;
            if (c.limit)
                limit.emplace(c.limit);
            c.save(path(c.limit ? c.name : std::string("missing/") + c.name).c_str());
        }
        EXPECT_EQ(messages(), Lines{c.save == save_config ? "Error writing configuration file."
                                                          : "Error writing event CSV file."});
        EXPECT_EQ(slurp(path(c.name)), "kept\n");
        EXPECT_EQ(dir_.entries(), Lines{c.name}) << "no temporary is left behind";
        EXPECT_EQ(sim.log(), c.requests);
        test::close_dialogs();
        g_unlink(path(c.name).c_str());
    }
}

TEST_F(FileCommands, TheChoosersOpenSaveAndOfferTheLastFile) {
    expect_chooser(new_open_config_chooser(), "Open Configuration", "*.cfg", "", g_get_home_dir());
    expect_chooser(new_save_config_chooser(), "Save Configuration", "*.cfg", "untitled.cfg",
                   g_get_home_dir());
    test::put(path("in.cfg"), "<configuration><device name=\"varnel\">"
                              "<parameter type=\"uint16\" address=\"213\">17</parameter>"
                              "</device></configuration>");
    test::choose("menu_openconfig", path("in.cfg"));
    EXPECT_STREQ(config_filename, path("in.cfg").c_str());
    EXPECT_EQ(test::register_values({213})[213], 17);
    test::choose("menu_saveconfig", ""); // cancelled: changes nothing
    EXPECT_STREQ(config_filename, path("in.cfg").c_str());
    options = OPTION_EVENTS; // without a device: an export that went on would fail
    test::choose("menu_events", "");
    g_unlink(path("in.cfg").c_str()); // offered even when it has gone
    expect_chooser(new_save_config_chooser(), "Save Configuration", "*.cfg", "in.cfg", dir_.path());
    // The last folder, whatever the chooser.
    expect_chooser(new_events_chooser(), "Save Events to CSV", "*.csv", "untitled.csv",
                   dir_.path());

    // The chosen file went into the recent files.
    std::string recent = std::string(g_get_user_data_dir()) + "/recently-used.xbel";
    for (int wait = 0; wait < 300 && slurp(recent).find("in.cfg") == std::string::npos; ++wait) {
        test::flush_events();
        g_usleep(10 * 1000);
    }
    EXPECT_TRUE(g_str_has_prefix(recent.c_str(), g_get_home_dir()));
    EXPECT_NE(slurp(recent).find("in.cfg"), std::string::npos);
}

TEST_F(FileCommands, EventExportRefusalsComeBeforeAnyChooser) {
    test::SimHarness sim({"--baud", "0", "--options", "1"});
    test::click("Connect");
    sim.clear_log();
    gtk_menu_item_activate(GTK_MENU_ITEM(widget("menu_events")));
    EXPECT_EQ(messages(), Lines{"This device does not feature event memory."});
    test::close_dialogs();

    options = OPTION_EVENTS;
    {
        TransferGuard running; // another transfer: neither the command nor the export runs
        gtk_menu_item_activate(GTK_MENU_ITEM(widget("menu_events")));
        save_events(path("events.csv").c_str());
    }
    EXPECT_TRUE(test::standing_dialogs().empty());
    EXPECT_EQ(sim.log(), Lines{});
    // Still what Connect said: the refused export said nothing there.
    EXPECT_EQ(test::status_text(), "Connected: 14 relays, DNP3 port, no event memory.");
    EXPECT_EQ(dir_.entries(), Lines{});
}
