#include "app.h"
#include "gmem.h"

#include "config.h"
#include "configfile.h"
#include "registers.h"
#include "serial.h"
#include "transfer.h"
#include "variant.h"

#include <cstdio>
#include <cstdlib>
#include <glib/gi18n.h>
#include <memory>

GladeXML* glade_xml = nullptr;

namespace {

const char* LOAD_FAILURE = N_("Error: cannot load interface file %s.\n");
} // namespace

GladeXML* glade_load(const char* name, std::initializer_list<const char*> folders) {
    for (const char* folder : folders) {
        GCharPtr path(g_strconcat(folder, name, nullptr));
        if (!g_file_test(path.get(), G_FILE_TEST_IS_REGULAR))
            continue;
        if (GladeXML* xml = glade_xml_new(path.get(), nullptr, nullptr))
            return xml;
    }
    return nullptr;
}

GladeXML* glade_parse(const char* name) {
    if (GladeXML* xml = glade_load(name, {"ui/", SYSTEM_UI_DIR}))
        return xml;
    g_printerr(_(LOAD_FAILURE), name);
    // A start that could not show its window is a failure, not a success.
    exit(EXIT_FAILURE);
}

void dispatch_pending_events() {
    if (!gdk_display_get_default())
        return;
    while (gtk_events_pending())
        gtk_main_iteration_do(FALSE);
}

GtkWidget* find_named_widget(GtkWidget* root, const char* name) {
    if (g_str_equal(gtk_widget_get_name(root), name))
        return root;
    GtkWidget* found = nullptr;
    if (GTK_IS_CONTAINER(root)) {
        GList* children = gtk_container_get_children(GTK_CONTAINER(root));
        for (GList* l = children; l && !found; l = l->next)
            found = find_named_widget(GTK_WIDGET(l->data), name);
        g_list_free(children);
    }
    return found;
}

void show_status(const char* text) {
    GtkWidget* w = glade_xml ? glade_xml_get_widget(glade_xml, "statusbar") : nullptr;
    if (!w || !GTK_IS_STATUSBAR(w))
        return;
    GtkStatusbar* bar = GTK_STATUSBAR(w);
    guint context = gtk_statusbar_get_context_id(bar, "connection");
    // What the event commands said (context 0) belongs to the connection too.
    gtk_statusbar_remove_all(bar, 0);
    gtk_statusbar_remove_all(bar, context);
    if (text)
        gtk_statusbar_push(bar, context, text);
}

GtkWindow* main_window() {
    GtkWidget* w = glade_xml ? glade_xml_get_widget(glade_xml, "kelvra_main") : nullptr;
    return w ? GTK_WINDOW(w) : nullptr;
}

namespace {
// Where the last chosen file was, for the next chooser of this session.
std::string last_chooser_folder;

// The folder a chooser opens in: the last one used, else Documents, else home. GTK would
// otherwise open on "Recently Used" or the working folder, neither of which is where an
// engineer keeps configurations.
std::string starting_folder() {
    if (!last_chooser_folder.empty() &&
        g_file_test(last_chooser_folder.c_str(), G_FILE_TEST_IS_DIR))
        return last_chooser_folder;
    const char* documents = g_get_user_special_dir(G_USER_DIRECTORY_DOCUMENTS);
    if (documents && g_file_test(documents, G_FILE_TEST_IS_DIR))
        return documents;
    return g_get_home_dir();
}
} // namespace

gchar* run_file_chooser(GtkWidget* chooser) {
    if (gtk_dialog_run(GTK_DIALOG(chooser)) != GTK_RESPONSE_ACCEPT)
        return nullptr;
    gchar* name = gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(chooser));
    if (name) {
        GCharPtr folder(g_path_get_dirname(name));
        last_chooser_folder = folder.get();
    }
    return name;
}

GtkWidget* new_file_chooser(const char* title, GtkWindow* parent, GtkFileChooserAction action,
                            const char* pattern, const char* name) {
    bool save = action == GTK_FILE_CHOOSER_ACTION_SAVE;
    GtkWidget* chooser = gtk_file_chooser_dialog_new(
        title, parent ? parent : main_window(), action, GTK_STOCK_CANCEL, GTK_RESPONSE_CANCEL,
        save ? GTK_STOCK_SAVE : GTK_STOCK_OPEN, GTK_RESPONSE_ACCEPT, nullptr);
    GtkFileFilter* filter = gtk_file_filter_new();
    gtk_file_filter_add_pattern(filter, pattern);
    gtk_file_chooser_set_filter(GTK_FILE_CHOOSER(chooser), filter);
    gtk_file_chooser_set_current_folder(GTK_FILE_CHOOSER(chooser), starting_folder().c_str());
    if (save) {
        gtk_file_chooser_set_do_overwrite_confirmation(GTK_FILE_CHOOSER(chooser), TRUE);
        gtk_file_chooser_set_current_name(GTK_FILE_CHOOSER(chooser), name);
    }
    return chooser;
}

void error_dialog(const char* text) {
    GtkWidget* dialog = gtk_dialog_new_with_buttons(
        _("Error"), main_window(),
        static_cast<GtkDialogFlags>(GTK_DIALOG_MODAL | GTK_DIALOG_DESTROY_WITH_PARENT),
        GTK_STOCK_OK, GTK_RESPONSE_NONE, nullptr);
    gtk_window_set_position(GTK_WINDOW(dialog), GTK_WIN_POS_CENTER_ON_PARENT);
    GtkWidget* label = gtk_label_new(text);
    gtk_misc_set_padding(GTK_MISC(label), 25, 25);
    gtk_container_add(GTK_CONTAINER(GTK_DIALOG(dialog)->vbox), label);
    g_signal_connect_swapped(dialog, "response", G_CALLBACK(gtk_widget_destroy), dialog);
    gtk_widget_show_all(dialog);
}

std::string clock_text(const std::tm& t) {
    char buffer[16];
    g_snprintf(buffer, sizeof buffer, "%02d:%02d:%02d", t.tm_hour, t.tm_min, t.tm_sec);
    return buffer;
}

gboolean HMS_label_update(gpointer) {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    GtkWidget* label = glade_xml_get_widget(glade_xml, "HMSLabel");
    if (label)
        gtk_label_set_text(GTK_LABEL(label), clock_text(local).c_str());
    return TRUE;
}

gboolean on_window_delete_event(GtkWidget*, GdkEvent*, gpointer) {
    gtk_main_quit();
    return TRUE;
}

void on_menu_quit_activate(GtkMenuItem*, gpointer) {
    gtk_main_quit();
}

void on_menu_about_activate(GtkMenuItem*, gpointer) {
    // A modal dialog run inside a transfer's event dispatch would stall the transfer.
    if (transfer_running())
        return;
    const char* name = "kelvra_about.glade";
    GladeXML* xml = glade_load(name, {"ui/", SYSTEM_UI_DIR});
    if (!xml) {
        // Ending the program here would lose the parameters shown in the window.
        GCharPtr text(g_strdup_printf(_(LOAD_FAILURE), name));
        g_strchomp(text.get());
        error_dialog(text.get());
        return;
    }
    glade_xml_signal_autoconnect(xml);
    GtkWidget* dialog = glade_xml_get_widget(xml, "kelvra_about");
    g_object_unref(xml);
    if (!dialog || !GTK_IS_DIALOG(dialog)) {
        if (dialog)
            gtk_widget_destroy(dialog);
        return;
    }
    gtk_window_set_transient_for(GTK_WINDOW(dialog), main_window());
    gtk_window_set_position(GTK_WINDOW(dialog), GTK_WIN_POS_CENTER_ON_PARENT);
    gtk_dialog_run(GTK_DIALOG(dialog));
    gtk_widget_destroy(dialog);
}

int parse_command_line(const Variant& v, int argc, char** argv, std::string& file) {
    init_text_domain();
    gboolean version = FALSE;
    const GOptionEntry entries[] = {
        {"version", 0, 0, G_OPTION_ARG_NONE, &version, N_("Print the version and exit"), nullptr},
        {}};
    std::unique_ptr<GOptionContext, void (*)(GOptionContext*)> context(
        g_option_context_new(_("[FILE.cfg]")), &g_option_context_free);
    g_option_context_set_summary(
        context.get(), _("Starts with the configuration file loaded, when one is given."));
    g_option_context_add_main_entries(context.get(), entries, TEXT_DOMAIN);
    g_option_context_set_translation_domain(context.get(), TEXT_DOMAIN);
    GError* error = nullptr;
    bool parsed = g_option_context_parse(context.get(), &argc, &argv, &error);
    if (!parsed || argc > 2) {
        std::fprintf(stderr, "%s: %s\n", v.program,
                     parsed ? _("Only one configuration file can be opened.") : error->message);
        if (error)
            g_error_free(error);
        return 2;
    }
    if (version) {
        std::printf("%s %s\n", v.program, KELVRA_VERSION);
        return EXIT_SUCCESS;
    }
    file = argc == 2 ? argv[1] : "";
    return -1;
}

int kelvra_run(const Variant& v, const char* file) {
    variant = &v;
    init_text_domain();
    domain = g_quark_from_static_string("BRESKA");
    serial_set_idle(dispatch_pending_events);
    // No GDK lock: this program has one thread, and the event dispatch nested inside a
    // transfer would otherwise take the lock its own handler already holds.
    gtk_init(nullptr, nullptr);
    glade_xml = glade_parse(v.main_ui);
    glade_xml_signal_autoconnect(glade_xml);
    gtk_widget_show(glade_xml_get_widget(glade_xml, "kelvra_main"));
    g_timeout_add_seconds(1, HMS_label_update, nullptr);
    init_registers();
    if (file && *file) { // as the Open command does
        g_free(config_filename);
        config_filename = g_strdup(file);
        open_config(file);
    }
    gtk_main();
    g_object_unref(glade_xml);
    glade_xml = nullptr;
    return EXIT_SUCCESS;
}
