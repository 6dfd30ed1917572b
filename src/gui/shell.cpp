#include "gui/shell.h"
#include "formats/safefile.h"
#include "base/gmem.h"

#include "formats/configfile.h"
#include "gui/config.h"
#include "gui/linkwindow.h"
#include "gui/params.h"
#include "gui/transfer.h"
#include "link/serial.h"
#include "model/variant.h"

#include <cstdio>
#include <cstdlib>
#include <glib/gi18n.h>
#include <memory>

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
    // A window closed by a signal during a save or an export leaves no temporary behind either.
    SafeFile::remove_temporaries_on_signals();
    controller.set_idle(dispatch_pending_events);
    load_link_settings();
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
