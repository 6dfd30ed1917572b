// session: the real program (kelvra_run, its interface file from ui/, its main loop) driven
// through one working session by pressing its buttons and menu items: Connect with no controller
// there, Connect, Download, edit, Upload, save a configuration, open it again, export the event
// memory, Connect released, Quit. Every step's outcome is checked and printed; the exit status is 0
// only when all passed. It is the program that runs under valgrind (tools/valgrind-session.sh), and
// with
// --screenshot it saves pictures of the windows along the way for the user guide.
//
//   [KELVRA_PORT=<controller or kelvra-sim pty>] session [--variant full|rtd] [--dir DIR]
//                                                      [--screenshot DIR]
//
// Run it from the build directory, as the programs are. DIR receives the session's files
// (session.cfg, events.csv); by default a new temporary folder, removed at the end.
#include "base/gmem.h"
#include "formats/configfile.h"
#include "gui/config.h"
#include "gui/eventview.h"
#include "gui/registers.h"
#include "gui/shell.h"
#include "gui/transfer.h"
#include "link/serial.h"
#include "model/variant.h"
#include "support/drive.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <glib/gstdio.h>
#include <map>
#include <string>
#include <vector>

namespace {

using namespace drive;

struct Options {
    const Variant* variant = &variant_full;
    std::string dir;
    std::string shots; // empty: no pictures
    bool own_dir = false;
};
Options opts;
int failures = 0;

void check(bool ok, const std::string& what) {
    std::printf("%s %s\n", ok ? "ok  " : "FAIL", what.c_str());
    std::fflush(stdout);
    if (!ok)
        ++failures;
}

bool connected() {
    return gtk_toggle_tool_button_get_active(GTK_TOGGLE_TOOL_BUTTON(widget("Connect")));
}

// The dialogs standing now, for a check's line.
std::string shown() {
    std::string out;
    for (const std::string& m : messages())
        out += " [" + m + "]";
    return out;
}

// Lets a newly mapped window be exposed and drawn: the X server answers asynchronously.
void settle() {
    for (int i = 0; i < 10; ++i) {
        gdk_flush();
        g_usleep(20000);
        flush_events();
        gdk_window_process_all_updates();
    }
}

// Saves the window, or only the part of it that `part` covers, as DIR/name.png.
void shoot(GtkWidget* window, const char* name, GtkWidget* part = nullptr) {
    if (opts.shots.empty() || !window || !window->window)
        return;
    settle();
    gint x = 0, y = 0, w = 0, h = 0;
    gdk_drawable_get_size(window->window, &w, &h);
    if (part && gtk_widget_translate_coordinates(part, window, 0, 0, &x, &y)) {
        w = part->allocation.width;
        h = part->allocation.height;
    }
    GdkPixbuf* pixbuf =
        gdk_pixbuf_get_from_drawable(nullptr, window->window, nullptr, x, y, 0, 0, w, h);
    std::string path = opts.shots + "/" + name + ".png";
    GError* error = nullptr;
    bool saved =
        pixbuf && gdk_pixbuf_save(pixbuf, path.c_str(), "png", &error, "compression", "9", nullptr);
    check(saved, "picture " + path + (error ? std::string(": ") + error->message : ""));
    if (error)
        g_error_free(error);
    if (pixbuf)
        g_object_unref(pixbuf);
}

// The RTD-only program's pictures are only those where its window differs.
void shoot_main(const char* name) {
    if (opts.variant == &variant_full)
        shoot(widget("kelvra_main"), name);
    else if (std::strcmp(name, "relays") == 0 || std::strcmp(name, "general") == 0)
        shoot(widget("kelvra_main"), ("kelvra0-" + std::string(name)).c_str());
}

std::string file_path(const char* name) {
    return opts.dir + "/" + name;
}

void through_chooser(const char* menu_item, const char* name, const char* picture = "") {
    std::string failure = drive::choose(
        [menu_item] { gtk_menu_item_activate(GTK_MENU_ITEM(widget(menu_item))); }, file_path(name),
        [picture](GtkWidget* chooser) {
            if (*picture)
                shoot(chooser, picture);
        });
    check(failure.empty(),
          std::string(menu_item) + ": " + (failure.empty() ? name : failure) + shown());
}

int address_of(const char* widget_name) {
    for (int a = 0; a < REGISTER_COUNT; ++a)
        if (GtkWidget* w = kelvra_register[a].widget[0])
            if (std::strcmp(gtk_widget_get_name(w), widget_name) == 0)
                return a;
    return -1;
}

// Text typed into spin buttons and a row chosen in a combo box; `raw` is the register value.
struct Edit {
    const char* widget;
    const char* typed; // null: a combo box row
    int row;
    uint16_t raw;
};
constexpr Edit EDITS[] = {
    {"SetPoint C 2", "95", 0, 95},          {"Timeout 1", "12.3", 0, 123},
    {"DailyCoolingDuration", "45", 0, 45},  {"MODBUSAddress", "17", 0, 17},
    {"Forced Activation 3", nullptr, 1, 1},
};

void connect_step() {
    // First with no controller there: the message the user sees then.
    GCharPtr port(g_strdup(g_getenv("KELVRA_PORT")));
    g_unsetenv("KELVRA_PORT"); // then the USB bridge is looked for by its name
    click("Connect");
    check(messages() == std::vector<std::string>{"Temperature controller not detected on the USB "
                                                 "port."} &&
              !connected(),
          "without a controller, Connect reports it not detected");
    if (!standing_dialogs().empty() && opts.variant == &variant_full)
        shoot(standing_dialogs().front(), "not-detected");
    close_dialogs();
    if (port)
        g_setenv("KELVRA_PORT", port.get(), TRUE);
    else
        g_unsetenv("KELVRA_PORT");

    click("Connect");
    check(connected() && messages().empty(), "Connect: controller found" + shown());
    check(nrelays > 0 && GTK_WIDGET_SENSITIVE(widget("Download")),
          "Connect: " + std::to_string(nrelays) + " relays, Download enabled");
}

void download_and_edit_step() {
    click("Download");
    check(messages().empty(), "Download: no message" + shown());
    GtkNotebook* pages = GTK_NOTEBOOK(widget("notebook"));
    int page = 0;
    for (const char* name : {"relays", "general", "communication", "clock"}) {
        gtk_notebook_set_current_page(pages, page++);
        flush_events();
        shoot_main(name);
    }
    gtk_notebook_set_current_page(pages, 0);

    for (const Edit& e : EDITS) {
        GtkWidget* w = widget(e.widget);
        if (e.typed)
            gtk_entry_set_text(GTK_ENTRY(w), e.typed);
        else
            gtk_combo_box_set_active(GTK_COMBO_BOX(w), e.row);
    }
    gtk_menu_item_activate(GTK_MENU_ITEM(widget("menu_comparedevice")));
    GtkWidget* compared = nullptr;
    for (GtkWidget* d : standing_dialogs())
        if (g_str_equal(gtk_widget_get_name(d), "compare_dialog"))
            compared = d;
    check(compared != nullptr, "Compare with Controller: the differences are listed");
    if (compared && opts.variant == &variant_full)
        shoot(compared, "compare");
    if (compared)
        gtk_dialog_response(GTK_DIALOG(compared), GTK_RESPONSE_OK);
    flush_events();

    // Upload's list of changes is accepted once it stands, after its picture.
    bool asked = respond([] { click("Upload"); }, "compare_dialog", GTK_RESPONSE_ACCEPT,
                         [](GtkWidget* d) {
                             if (opts.variant == &variant_full)
                                 shoot(d, "upload-confirm");
                         });
    check(asked, "Upload: the changes were listed and accepted");
    check(messages().empty(), "Upload: no message" + shown());
    for (const Edit& e : EDITS) {
        int a = address_of(e.widget);
        uint16_t held = 0;
        bool read =
            a >= 0 && controller.read_registers(static_cast<uint16_t>(a), 1, &held) == LINK_OK;
        check(read && held == e.raw, std::string("Upload: the controller holds ") + e.widget +
                                         " = " + std::to_string(held));
    }
}

void configuration_step() {
    std::vector<uint16_t> addresses = config_addresses(*variant, nrelays, options);
    std::map<int, uint16_t> before = register_values(addresses);
    through_chooser("menu_saveconfig", "session.cfg", "save-configuration");
    check(messages().empty() && g_file_test(file_path("session.cfg").c_str(), G_FILE_TEST_EXISTS),
          "Save Configuration: session.cfg written");
    check(config_filename && file_path("session.cfg") == config_filename,
          "Save Configuration: the file is remembered");

    for (uint16_t a : addresses) // other values everywhere the file will reach
        set_register(a, before[a] ? 0 : 1);
    through_chooser("menu_openconfig", "session.cfg");
    check(messages().empty(), "Open Configuration: no message" + shown());
    check(register_values(addresses) == before,
          "Open Configuration: " + std::to_string(addresses.size()) + " parameters as saved");
}

void on_fraction(GObject* bar, GParamSpec*, gpointer data) {
    auto* shot = static_cast<bool*>(data);
    if (*shot || gtk_progress_bar_get_fraction(GTK_PROGRESS_BAR(bar)) < 0.4)
        return;
    *shot = true;
    if (opts.variant == &variant_full) // the status bar, where the progress shows
        shoot(widget("kelvra_main"), "events-progress", widget("statusbar")->parent);
}

void events_step() {
    bool shot = false;
    gulong handler = g_signal_connect(widget("events_progress"), "notify::fraction",
                                      G_CALLBACK(on_fraction), &shot);
    through_chooser("menu_events", "events.csv");
    g_signal_handler_disconnect(widget("events_progress"), handler);
    check(messages().empty(), "Export Events: no message" + shown());
    std::ifstream csv(file_path("events.csv"), std::ios::binary);
    long lines = std::count(std::istreambuf_iterator<char>(csv), {}, '\n');
    check(lines == 3585, "Export Events: events.csv has " + std::to_string(lines) + " lines");
    check(status_text() == "Finished downloading events.", "Export Events: status bar says so");
    if (opts.variant == &variant_full)
        shoot(widget("kelvra_main"), "events-finished", widget("statusbar")->parent);
}

// A click on the viewer's plot at `share` of its width, as X delivers it.
void click_plot(GtkWidget* area, double share, guint button = 1) {
    for (GdkEventType type : {GDK_BUTTON_PRESS, GDK_BUTTON_RELEASE}) {
        GdkEvent* e = gdk_event_new(type);
        e->button.window = GDK_WINDOW(g_object_ref(area->window));
        e->button.x = share * area->allocation.width;
        e->button.y = area->allocation.height / 3.0;
        e->button.button = button;
        gtk_widget_event(area, e);
        gdk_event_free(e);
    }
}

// The viewer over the memory just exported: the whole range with cursors A and B placed, then
// zoomed in on a day with cursors placed again and a row chosen, as the user guide shows them.
void viewer_step() {
    gtk_menu_item_activate(GTK_MENU_ITEM(widget("menu_viewevents")));
    flush_events();
    GtkWidget* window = current_event_viewer();
    check(window && messages().empty(), "View Events: the viewer opened" + shown());
    if (!window)
        return;
    GtkTreeView* table = GTK_TREE_VIEW(event_viewer_part(window, "events_table"));
    int rows = gtk_tree_model_iter_n_children(gtk_tree_view_get_model(table), nullptr);
    check(rows == 3584, "View Events: the table has " + std::to_string(rows) + " rows");
    if (opts.variant == &variant_full) {
        GtkWidget* area = event_viewer_part(window, "events_plot");
        click_plot(area, 0.33);
        click_plot(area, 0.52);
        shoot(window, "events-viewer");
        click_plot(area, 0.5, 3);
        for (int step = 0; step < 12; ++step)
            zoom_event_viewer(window, 0.8, 0.6);
        click_plot(area, 0.25);
        click_plot(area, 0.7);
        GtkTreePath* path = gtk_tree_path_new_from_indices(2100, -1);
        gtk_tree_selection_select_path(gtk_tree_view_get_selection(table), path);
        gtk_tree_view_scroll_to_cell(table, path, nullptr, TRUE, 0.5, 0);
        gtk_tree_path_free(path);
        shoot(window, "events-viewer-zoomed");
    }
    gtk_widget_destroy(window);
}

void disconnect_step() {
    click("Connect");
    uint16_t v = 0;
    check(!connected() && !GTK_WIDGET_SENSITIVE(widget("Download")) &&
              controller.read_registers(0, 1, &v) == 0,
          "Connect released: disconnected, link closed");
    check(messages().empty(), "Connect released: no message" + shown());
}

gboolean run_session(gpointer) {
    // The window's clock shows its first time after its first tick.
    static int waits = 0;
    const char* clock = gtk_label_get_text(GTK_LABEL(widget("HMSLabel")));
    if (g_str_equal(clock, "00:00:00") && ++waits < 50)
        return TRUE;
    shoot_main("start");
    connect_step();
    if (connected()) {
        download_and_edit_step();
        configuration_step();
        events_step();
        viewer_step();
        disconnect_step();
    }
    gtk_menu_item_activate(GTK_MENU_ITEM(widget("menu_quit")));
    return FALSE;
}

bool parse_args(int argc, char** argv) {
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string arg = argv[i], value = argv[i + 1];
        if (arg == "--variant" && (value == "full" || value == "rtd"))
            opts.variant = value == "full" ? &variant_full : &variant_rtd;
        else if (arg == "--dir")
            opts.dir = value;
        else if (arg == "--screenshot")
            opts.shots = value;
        else
            return false;
    }
    return argc % 2 == 1;
}

void remove_own_dir() {
    if (!opts.own_dir)
        return;
    for (const char* name : {"session.cfg", "events.csv"})
        g_unlink(file_path(name).c_str());
    g_rmdir(opts.dir.c_str());
}

} // namespace

int main(int argc, char** argv) {
    if (!parse_args(argc, argv)) {
        std::fputs("usage: session [--variant full|rtd] [--dir DIR] [--screenshot DIR]\n", stderr);
        return 2;
    }
    if (opts.dir.empty()) {
        gchar* d = g_dir_make_tmp("kelvra-session-XXXXXX", nullptr);
        if (!d)
            return 2;
        opts.dir = d;
        opts.own_dir = true;
        g_free(d);
    }
    // The choosers record accepted files among the user's recent files.
    g_mkdir_with_parents(g_get_user_data_dir(), 0700);
    // Runs inside the program's own main loop, once the window is up and its clock has ticked.
    g_timeout_add(100, run_session, nullptr);
    int status = kelvra_run(*opts.variant);
    remove_own_dir();
    std::printf("%s: %d failed\n", failures ? "FAILED" : "PASSED", failures);
    return status != EXIT_SUCCESS || failures ? EXIT_FAILURE : EXIT_SUCCESS;
}
