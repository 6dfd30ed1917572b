#include "commands.h"

#include "app.h"
#include "compare.h"
#include "messages.h"
#include "model/transfers.h"
#include "registers.h"
#include "serial.h"
#include "transfer.h"
#include "variant.h"

namespace {

// Set while the program itself releases "Connect" (a failed request, a failed open): that
// release must run even inside a transfer, unlike one that arrives from outside.
bool own_release = false;

GtkToggleToolButton* connect_button() {
    GtkWidget* w = glade_xml ? glade_xml_get_widget(glade_xml, "Connect") : nullptr;
    return w && GTK_IS_TOGGLE_TOOL_BUTTON(w) ? GTK_TOGGLE_TOOL_BUTTON(w) : nullptr;
}

void set_icon(GtkToggleToolButton* button, bool connected) {
    gtk_tool_button_set_stock_id(GTK_TOOL_BUTTON(button),
                                 connected ? "gtk-connect" : "gtk-disconnect");
}

// Sets "Connect" inactive; its handler then runs the release nested, before this returns.
void release_connect() {
    GtkToggleToolButton* button = connect_button();
    if (!button)
        return;
    bool outer = own_release;
    own_release = true;
    gtk_toggle_tool_button_set_active(button, FALSE);
    own_release = outer;
}

// Puts a toggle that was refused back as it was, without running the handler for it.
void undo_toggle(GtkToggleToolButton* button, bool active) {
    g_signal_handlers_block_matched(button, G_SIGNAL_MATCH_FUNC, 0, 0, nullptr,
                                    reinterpret_cast<gpointer>(on_button_connect_toggled), nullptr);
    gtk_toggle_tool_button_set_active(button, !active);
    g_signal_handlers_unblock_matched(button, G_SIGNAL_MATCH_FUNC, 0, 0, nullptr,
                                      reinterpret_cast<gpointer>(on_button_connect_toggled),
                                      nullptr);
}

void open_connection(GtkToggleToolButton* button) noexcept {
    TransferGuard guard;
    if (!serial_open()) {
        reset_registers();
        release_connect();
        set_icon(button, false);
        error_dialog(not_detected_text());
        return;
    }
    init_active();
    set_icon(button, gtk_toggle_tool_button_get_active(button));
}

void close_connection(GtkToggleToolButton* button) {
    reset_registers();
    serial_close();
    set_icon(button, false);
}

void download() noexcept {
    TransferGuard guard;
    if (!guard.acquired())
        return;
    int result = download_parameters(parameters, show_registers);
    if (result <= 0)
        serial_error(result);
}

void upload() noexcept {
    TransferGuard guard;
    if (!guard.acquired())
        return;
    // Nothing is sent when a parameter has no value: the controller would get whatever the
    // buffer held, and the message has already told the user what to choose.
    if (!check_registers() || !confirm_upload())
        return;
    int result = upload_parameters(parameters);
    if (result <= 0) {
        serial_error(result);
        return;
    }
    check_upload();
}

} // namespace

void serial_error(int code) {
    const char* message = link_failure_text(code);
    if (!message)
        return;
    error_dialog(message);
    release_connect();
}

void on_button_connect_toggled(GtkToggleToolButton* button, gpointer) {
    bool active = gtk_toggle_tool_button_get_active(button);
    // A toggle that arrives while a transfer runs would open or close the link under it.
    if (transfer_running() && !own_release) {
        undo_toggle(button, active);
        return;
    }
    if (active)
        open_connection(button);
    else
        close_connection(button);
}

void on_button_download_clicked(GtkToolButton*, gpointer) {
    if (!transfer_running())
        download();
}

void on_button_upload_clicked(GtkToolButton*, gpointer) {
    if (!transfer_running())
        upload();
}
