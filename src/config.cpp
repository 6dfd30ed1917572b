#include "config.h"
#include "gmem.h"

#include "app.h"
#include "configfile.h"
#include "messages.h"
#include "registers.h"
#include "safefile.h"
#include "transfer.h"
#include "variant.h"

#include <cstdio>
#include <ctime>
#include <glib/gi18n.h>
#include <memory>

gchar* config_filename = nullptr;

namespace {
struct FileCloser {
    void operator()(FILE* f) const { fclose(f); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;
struct ErrorOwner {
    GError* error = nullptr;
    ~ErrorOwner() {
        if (error)
            g_error_free(error);
    }
};

GtkWindow* main_window() {
    GtkWidget* w = glade_xml ? glade_xml_get_widget(glade_xml, "kelvra_main") : nullptr;
    return w ? GTK_WINDOW(w) : nullptr;
}

GtkWidget* new_chooser(const char* title, GtkFileChooserAction action, const char* accept) {
    GtkWidget* chooser =
        gtk_file_chooser_dialog_new(title, main_window(), action, GTK_STOCK_CANCEL,
                                    GTK_RESPONSE_CANCEL, accept, GTK_RESPONSE_ACCEPT, nullptr);
    GtkFileFilter* filter = gtk_file_filter_new();
    gtk_file_filter_add_pattern(filter, "*.cfg");
    gtk_file_chooser_set_filter(GTK_FILE_CHOOSER(chooser), filter);
    return chooser;
}

// Runs a chooser; on acceptance the chosen file becomes config_filename and true is returned.
bool choose(GtkWidget* chooser) {
    if (gtk_dialog_run(GTK_DIALOG(chooser)) != GTK_RESPONSE_ACCEPT)
        return false;
    gchar* name = gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(chooser));
    if (!name)
        return false;
    g_free(config_filename);
    config_filename = name;
    return true;
}

void report_unreadable(const char* filename) {
    error_dialog(unreadable_text(filename).c_str());
}
} // namespace

void save_config(const char* filename) {
    // A register without a value (a combo box without a choice, a relay beyond those the window
    // shows) is reported, and written as 0.
    check_registers();
    // The writing pass names each of them once more as it reaches it.
    for (uint16_t address : config_addresses(*variant, nrelays, options))
        if (kelvra_register[address].widget[0] && !parameters.has(address))
            report_undefined(address);
    SafeFile out(filename);
    if (!out.stream() || !write_config(out.stream(), parameters) || !out.commit())
        error_dialog(config_write_error_text());
}

bool read_config_file(const char* filename, const RegisterSink& apply) {
    FilePtr file(fopen(filename, "r"));
    if (!file) {
        report_unreadable(filename);
        return false;
    }
    ErrorOwner owner;
    if (!read_config(file.get(), variant->device_name, apply, &owner.error)) {
        if (owner.error->domain == G_FILE_ERROR)
            report_unreadable(filename); // e.g. a folder: it opens, but cannot be read
        else // the parser's own messages may quote bytes of the file that are not UTF-8
            error_dialog(GCharPtr(g_utf8_make_valid(owner.error->message, -1)).get());
        return false;
    }
    return true;
}

void open_config(const char* filename) {
    auto apply = [](int address, uint16_t value) {
        parameters.set(address, value);
        set_register(address, value);
    };
    if (!read_config_file(filename, apply))
        return;
    // The file holds no clock: the clock fields show the present time.
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    set_register(400, static_cast<uint16_t>(local.tm_hour));
    set_register(401, static_cast<uint16_t>(local.tm_min));
    set_register(402, static_cast<uint16_t>(local.tm_sec));
}

GtkWidget* new_open_config_chooser() {
    return new_chooser(_("Open Configuration"), GTK_FILE_CHOOSER_ACTION_OPEN, GTK_STOCK_OPEN);
}

GtkWidget* new_compare_chooser() {
    return new_chooser(_("Compare with Configuration"), GTK_FILE_CHOOSER_ACTION_OPEN,
                       GTK_STOCK_OPEN);
}

GtkWidget* new_save_config_chooser() {
    GtkWidget* chooser =
        new_chooser(_("Save Configuration"), GTK_FILE_CHOOSER_ACTION_SAVE, GTK_STOCK_SAVE);
    gtk_file_chooser_set_do_overwrite_confirmation(GTK_FILE_CHOOSER(chooser), TRUE);
    if (config_filename) {
        // Folder and name rather than set_filename, which offers nothing for a file that no
        // longer exists.
        GCharPtr folder(g_path_get_dirname(config_filename));
        GCharPtr name(g_path_get_basename(config_filename));
        GCharPtr utf8(g_filename_to_utf8(name.get(), -1, nullptr, nullptr, nullptr));
        gtk_file_chooser_set_current_folder(GTK_FILE_CHOOSER(chooser), folder.get());
        gtk_file_chooser_set_current_name(GTK_FILE_CHOOSER(chooser),
                                          utf8 ? utf8.get() : "untitled.cfg");
    } else
        gtk_file_chooser_set_current_name(GTK_FILE_CHOOSER(chooser), "untitled.cfg");
    return chooser;
}

void on_menu_openconfig_activate(GtkMenuItem*, gpointer) {
    // Widgets that a transfer is filling must not change under it.
    if (transfer_running())
        return;
    GtkWidget* chooser = new_open_config_chooser();
    // The chooser stays up until the reading is done, so its error shows over it.
    if (choose(chooser))
        open_config(config_filename);
    gtk_widget_destroy(chooser);
}

void on_menu_saveconfig_activate(GtkMenuItem*, gpointer) {
    if (transfer_running())
        return;
    GtkWidget* chooser = new_save_config_chooser();
    if (choose(chooser))
        save_config(config_filename);
    gtk_widget_destroy(chooser);
}
