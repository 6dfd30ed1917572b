#include "gui/linkwindow.h"
#include "base/gmem.h"

#include "gui/session.h"
#include "gui/transfer.h"
#include "gui/window.h"
#include "text/messages.h"

#include <cstdio>
#include <glib/gi18n.h>
#include <memory>

namespace {

constexpr const char* GROUP = "connection";
// The asset's name for the history, as kept with the settings.
std::string asset;

std::string settings_path() {
    return GCharPtr(g_build_filename(g_get_user_config_dir(), "kelvra", "connection.ini", nullptr))
        .get();
}

void save_link_settings(const LinkSettings& s) {
    std::unique_ptr<GKeyFile, decltype(&g_key_file_free)> file(g_key_file_new(), &g_key_file_free);
    g_key_file_set_string(file.get(), GROUP, "where", s.where.c_str());
    g_key_file_set_integer(file.get(), GROUP, "slave", s.slave);
    g_key_file_set_uint64(file.get(), GROUP, "baud", s.baud);
    g_key_file_set_string(file.get(), GROUP, "asset", asset.c_str());
    std::string path = settings_path();
    GCharPtr folder(g_path_get_dirname(path.c_str()));
    GError* error = nullptr;
    if (g_mkdir_with_parents(folder.get(), 0700) != 0 ||
        !g_key_file_save_to_file(file.get(), path.c_str(), &error)) {
        GCharPtr text(g_strdup_printf(_("The connection settings could not be kept in %s: %s."),
                                      path.c_str(), error ? error->message : g_strerror(errno)));
        error_dialog(text.get());
    }
    if (error)
        g_error_free(error);
}

GtkWidget* labelled(GtkWidget* table, int row, const char* caption, GtkWidget* field) {
    GtkWidget* label = gtk_label_new_with_mnemonic(caption);
    gtk_misc_set_alignment(GTK_MISC(label), 0, 0.5);
    gtk_label_set_mnemonic_widget(GTK_LABEL(label), field);
    gtk_table_attach(GTK_TABLE(table), label, 0, 1, row, row + 1, GTK_FILL, GTK_FILL, 0, 0);
    gtk_table_attach(GTK_TABLE(table), field, 1, 2, row, row + 1,
                     GtkAttachOptions(GTK_EXPAND | GTK_FILL), GTK_FILL, 0, 0);
    return field;
}

GtkWidget* new_dialog(const char* title, const char* name) {
    GtkWidget* dialog = gtk_dialog_new_with_buttons(
        title, main_window(), GtkDialogFlags(GTK_DIALOG_MODAL | GTK_DIALOG_DESTROY_WITH_PARENT),
        GTK_STOCK_CANCEL, GTK_RESPONSE_CANCEL, GTK_STOCK_OK, GTK_RESPONSE_OK, nullptr);
    gtk_widget_set_name(dialog, name);
    gtk_dialog_set_default_response(GTK_DIALOG(dialog), GTK_RESPONSE_OK);
    return dialog;
}

// The settings' port before choose_bridge set one for a connection.
std::string chosen_over;
bool chose = false;

FILE* trace_file = nullptr;

} // namespace

const std::string& asset_name() {
    return asset;
}

void load_link_settings() {
    std::unique_ptr<GKeyFile, decltype(&g_key_file_free)> file(g_key_file_new(), &g_key_file_free);
    if (!g_key_file_load_from_file(file.get(), settings_path().c_str(), G_KEY_FILE_NONE, nullptr))
        return; // none kept yet: today's way, the USB bridge at slave 1
    LinkSettings s = controller.settings();
    GCharPtr where(g_key_file_get_string(file.get(), GROUP, "where", nullptr));
    gint slave = g_key_file_get_integer(file.get(), GROUP, "slave", nullptr);
    guint64 baud = g_key_file_get_uint64(file.get(), GROUP, "baud", nullptr);
    s.where = where ? where.get() : "";
    GCharPtr named(g_key_file_get_string(file.get(), GROUP, "asset", nullptr));
    asset = named ? named.get() : "";
    if (slave >= 1 && slave <= 247)
        s.slave = static_cast<uint8_t>(slave);
    if (baud > 0 && baud <= G_MAXUINT32)
        s.baud = static_cast<uint32_t>(baud);
    controller.set_settings(s);
}

bool choose_bridge() {
    LinkSettings s = controller.settings();
    // KELVRA_PORT names the port of this run, over the one kept (the simulator's, say).
    if (g_getenv("KELVRA_PORT") && !s.where.empty()) {
        chosen_over = s.where;
        chose = true;
        s.where.clear();
        controller.set_settings(s);
        return true;
    }
    std::vector<bridge::UsbTty> bridges = attached_bridges();
    if (!s.where.empty() || g_getenv("KELVRA_PORT") || bridges.size() < 2)
        return true;
    GtkWidget* dialog = new_dialog(_("Which Controller?"), "bridge_dialog");
    GtkWidget* area = GTK_DIALOG(dialog)->vbox;
    GtkWidget* text = gtk_label_new(_("Several controllers are attached. Connect to:"));
    gtk_misc_set_alignment(GTK_MISC(text), 0, 0.5);
    gtk_misc_set_padding(GTK_MISC(text), 12, 12);
    gtk_box_pack_start(GTK_BOX(area), text, FALSE, FALSE, 0);
    GtkWidget* list = gtk_combo_box_new_text();
    gtk_widget_set_name(list, "bridge_list");
    for (const bridge::UsbTty& t : bridges) {
        std::string row = t.path + " — " + t.product + (t.serial.empty() ? "" : " — " + t.serial);
        if (bridge::held_elsewhere(t.path))
            row += std::string(" (") + _("in use") + ")";
        gtk_combo_box_append_text(GTK_COMBO_BOX(list), row.c_str());
    }
    gtk_combo_box_set_active(GTK_COMBO_BOX(list), 0);
    gtk_box_pack_start(GTK_BOX(area), list, FALSE, FALSE, 6);
    gtk_widget_show_all(dialog);
    bool go = gtk_dialog_run(GTK_DIALOG(dialog)) == GTK_RESPONSE_OK;
    int row = gtk_combo_box_get_active(GTK_COMBO_BOX(list));
    gtk_widget_destroy(dialog);
    if (!go || row < 0)
        return false;
    chosen_over = s.where;
    chose = true;
    s.where = bridges[static_cast<size_t>(row)].path;
    controller.set_settings(s);
    return true;
}

void forget_bridge_choice() {
    if (!chose)
        return;
    chose = false;
    LinkSettings s = controller.settings();
    s.where = chosen_over;
    controller.set_settings(s);
}

void on_menu_connection_activate(GtkMenuItem*, gpointer) {
    if (transfer_running())
        return;
    LinkSettings s = controller.settings();
    GtkWidget* dialog = new_dialog(_("Connection Settings"), "connection_dialog");
    GtkWidget* table = gtk_table_new(5, 2, FALSE);
    gtk_container_set_border_width(GTK_CONTAINER(table), 12);
    gtk_table_set_row_spacings(GTK_TABLE(table), 6);
    gtk_table_set_col_spacings(GTK_TABLE(table), 12);
    GtkWidget* where = labelled(table, 0, _("_Port:"), gtk_entry_new());
    gtk_widget_set_name(where, "connection_where");
    gtk_entry_set_text(GTK_ENTRY(where), s.where.c_str());
    gtk_entry_set_width_chars(GTK_ENTRY(where), 36);
    GtkWidget* hint = gtk_label_new(_("Empty: the controller's USB port. Else a serial device "
                                      "(/dev/ttyUSB0), or a server: tcp://HOST:PORT, "
                                      "rfc2217://HOST:PORT, modbus-tcp://HOST:PORT."));
    gtk_label_set_line_wrap(GTK_LABEL(hint), TRUE);
    gtk_misc_set_alignment(GTK_MISC(hint), 0, 0.5);
    gtk_table_attach(GTK_TABLE(table), hint, 1, 2, 1, 2, GTK_FILL, GTK_FILL, 0, 0);
    GtkWidget* slave =
        labelled(table, 2, _("_Slave address:"), gtk_spin_button_new_with_range(1, 247, 1));
    gtk_widget_set_name(slave, "connection_slave");
    gtk_spin_button_set_value(GTK_SPIN_BUTTON(slave), s.slave);
    GtkWidget* baud =
        labelled(table, 3, _("_Baud rate:"), gtk_spin_button_new_with_range(300, 3000000, 100));
    gtk_widget_set_name(baud, "connection_baud");
    gtk_spin_button_set_value(GTK_SPIN_BUTTON(baud), s.baud);
    GtkWidget* name = labelled(table, 4, _("_Asset name:"), gtk_entry_new());
    gtk_widget_set_name(name, "connection_asset");
    gtk_entry_set_text(GTK_ENTRY(name), asset.c_str());
    gtk_box_pack_start(GTK_BOX(GTK_DIALOG(dialog)->vbox), table, TRUE, TRUE, 0);
    gtk_widget_show_all(dialog);
    if (gtk_dialog_run(GTK_DIALOG(dialog)) == GTK_RESPONSE_OK) {
        gtk_spin_button_update(GTK_SPIN_BUTTON(slave));
        gtk_spin_button_update(GTK_SPIN_BUTTON(baud));
        GCharPtr text(g_strstrip(g_strdup(gtk_entry_get_text(GTK_ENTRY(where)))));
        s.where = text.get();
        s.slave = static_cast<uint8_t>(gtk_spin_button_get_value_as_int(GTK_SPIN_BUTTON(slave)));
        s.baud = static_cast<uint32_t>(gtk_spin_button_get_value_as_int(GTK_SPIN_BUTTON(baud)));
        GCharPtr named(g_strstrip(g_strdup(gtk_entry_get_text(GTK_ENTRY(name)))));
        asset = named.get();
        // An open link keeps the port it has; the settings count from the next Connect.
        controller.set_settings(s);
        save_link_settings(s);
    }
    gtk_widget_destroy(dialog);
}

void on_menu_linkstats_activate(GtkMenuItem*, gpointer) {
    std::string text = link_stats_text(controller.stats());
    if (!controller.opened().empty())
        text = controller.opened() + "\n" + text;
    GtkWidget* dialog =
        gtk_message_dialog_new(main_window(), GTK_DIALOG_DESTROY_WITH_PARENT, GTK_MESSAGE_INFO,
                               GTK_BUTTONS_OK, "%s", text.c_str());
    gtk_widget_set_name(dialog, "linkstats_dialog");
    gtk_window_set_title(GTK_WINDOW(dialog), _("Link Statistics"));
    g_signal_connect_swapped(dialog, "response", G_CALLBACK(gtk_widget_destroy), dialog);
    gtk_widget_show_all(dialog);
}

void on_menu_trace_toggled(GtkCheckMenuItem* item, gpointer) {
    if (!gtk_check_menu_item_get_active(item)) {
        controller.set_trace(nullptr);
        if (trace_file)
            std::fclose(trace_file);
        trace_file = nullptr;
        return;
    }
    GtkWidget* chooser = new_file_chooser(_("Record Link Trace"), nullptr,
                                          GTK_FILE_CHOOSER_ACTION_SAVE, "*.txt", "link-trace.txt");
    GCharPtr path(run_file_chooser(chooser));
    gtk_widget_destroy(chooser);
    if (path)
        trace_file = std::fopen(path.get(), "w");
    if (trace_file) {
        controller.set_trace(trace_file);
        return;
    }
    if (path) {
        GCharPtr text(g_strdup_printf(_("The trace cannot be written to %s: %s."), path.get(),
                                      g_strerror(errno)));
        error_dialog(text.get());
    }
    // Not recording after all: the item says so, without running this again.
    g_signal_handlers_block_by_func(item, reinterpret_cast<gpointer>(on_menu_trace_toggled),
                                    nullptr);
    gtk_check_menu_item_set_active(item, FALSE);
    g_signal_handlers_unblock_by_func(item, reinterpret_cast<gpointer>(on_menu_trace_toggled),
                                      nullptr);
}
