#include "gui/config.h"
#include "base/gmem.h"

#include "formats/configfile.h"
#include "formats/safefile.h"
#include "gui/params.h"
#include "gui/transfer.h"
#include "gui/window.h"
#include "model/variant.h"
#include "text/messages.h"

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

// Runs the command's chooser; the file accepted becomes config_filename and the command runs on
// it while the chooser stays up, so that its error shows over it.
void through_chooser(GtkWidget* (*make)(), void (*command)(const char*)) {
    // Widgets that a transfer is filling must not change under it.
    if (transfer_running())
        return;
    GtkWidget* chooser = make();
    if (gchar* name = run_file_chooser(chooser)) {
        g_free(config_filename);
        config_filename = name;
        command(config_filename);
    }
    gtk_widget_destroy(chooser);
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
    ErrorOwner owner;
    if (file && read_config(file.get(), *variant, apply, &owner.error))
        return true;
    error_dialog(config_read_error_text(filename, owner.error).c_str());
    return false;
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
    return new_file_chooser(_("Open Configuration"), nullptr, GTK_FILE_CHOOSER_ACTION_OPEN,
                            "*.cfg");
}

GtkWidget* new_compare_chooser() {
    return new_file_chooser(_("Compare with Configuration"), nullptr, GTK_FILE_CHOOSER_ACTION_OPEN,
                            "*.cfg");
}

GtkWidget* new_save_config_chooser() {
    GtkWidget* chooser = new_file_chooser(_("Save Configuration"), nullptr,
                                          GTK_FILE_CHOOSER_ACTION_SAVE, "*.cfg", "untitled.cfg");
    if (config_filename) {
        // Folder and name rather than set_filename, which offers nothing for a file that no
        // longer exists.
        GCharPtr folder(g_path_get_dirname(config_filename));
        GCharPtr name(g_path_get_basename(config_filename));
        GCharPtr utf8(g_filename_to_utf8(name.get(), -1, nullptr, nullptr, nullptr));
        gtk_file_chooser_set_current_folder(GTK_FILE_CHOOSER(chooser), folder.get());
        if (utf8)
            gtk_file_chooser_set_current_name(GTK_FILE_CHOOSER(chooser), utf8.get());
    }
    return chooser;
}

void on_menu_openconfig_activate(GtkMenuItem*, gpointer) {
    through_chooser(new_open_config_chooser, open_config);
}

void on_menu_saveconfig_activate(GtkMenuItem*, gpointer) {
    through_chooser(new_save_config_chooser, save_config);
}
