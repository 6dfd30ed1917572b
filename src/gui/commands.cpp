#include "gui/commands.h"

#include "base/gmem.h"
#include "gui/compare.h"
#include "gui/connection.h"
#include "gui/historywindow.h"
#include "history/history.h"
#include "gui/linkwindow.h"
#include "gui/params.h"
#include "gui/transfer.h"
#include "gui/window.h"
#include "link/serial.h"
#include "model/transfers.h"
#include "model/variant.h"
#include "text/messages.h"

#include <ctime>
#include <glib/gi18n.h>

namespace {

void set_icon(GtkToggleToolButton* button, bool connected) {
    gtk_tool_button_set_stock_id(GTK_TOOL_BUTTON(button),
                                 connected ? "gtk-connect" : "gtk-disconnect");
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
    if (!choose_bridge()) {
        reset_registers();
        release_connect();
        set_icon(button, false);
        return;
    }
    bridge::OpenFailure why;
    int opened = controller.open(&why);
    forget_bridge_choice();
    if (!opened) {
        reset_registers();
        release_connect();
        set_icon(button, false);
        error_dialog(open_failure_text(why).c_str());
        return;
    }
    init_active();
    bool connected = gtk_toggle_tool_button_get_active(button);
    set_icon(button, connected);
    if (!connected)
        return;
    // TRANSLATORS: the relay count, the port block (MODBUS or DNP3), and whether the
    // controller has event memory, e.g. "Connected: 14 relays, DNP3 port, event memory."
    GCharPtr text(g_strdup_printf(
        ngettext("Connected: %d relay, %s port, %s.", "Connected: %d relays, %s port, %s.",
                 static_cast<unsigned long>(nrelays)),
        nrelays, (options & OPTION_DNP3) ? "DNP3" : "MODBUS",
        (options & OPTION_EVENTS) ? _("event memory") : _("no event memory")));
    // A line that was still sending is said too: the wait it cost is explained.
    std::string said = text.get();
    if (controller.drained())
        said.append(" ").append(drained_text(controller.drained()));
    show_status(said.c_str());
}

void close_connection(GtkToggleToolButton* button) {
    show_status(nullptr);
    reset_registers();
    controller.close();
    set_icon(button, false);
}

void download() noexcept {
    TransferGuard guard;
    if (!guard.acquired())
        return;
    int result = download_parameters(controller, parameters, show_registers);
    if (result <= 0) {
        serial_error(result);
        return;
    }
    std::string kept, said = _("Parameters downloaded.");
    keep_version(parameters, "download", "", &kept);
    if (!kept.empty())
        said.append(" ").append(kept);
    show_status(said.c_str());
}

void upload() noexcept {
    TransferGuard guard;
    if (!guard.acquired())
        return;
    UploadOptions how;
    how.confirm = confirm_upload;
    how.before_write = keep_backup;
    UploadResult r = upload_to_controller(controller, parameters, how);
    switch (r.status) {
    case UploadStatus::refused: {
        std::string text = r.message;
        for (const std::string& line : r.lines)
            text += "\n" + line;
        error_dialog(text.c_str());
        return;
    }
    case UploadStatus::cancelled:
        return;
    case UploadStatus::link_failed:
        serial_error(r.link_result, r.message);
        return;
    case UploadStatus::kept_other:
        show_kept(r.kept);
        break;
    case UploadStatus::done:
        break;
    }
    std::string kept;
    keep_version(r.after, "upload", changes_summary(r.before, r.after), &kept,
                 read_back_text(*variant, r.kept));
    std::string said = _("Parameters uploaded.");
    if (!kept.empty())
        said.append(" ").append(kept);
    show_status(said.c_str());
}

} // namespace

void on_button_connect_toggled(GtkToggleToolButton* button, gpointer) {
    bool active = gtk_toggle_tool_button_get_active(button);
    // A toggle that arrives while a transfer runs would open or close the link under it.
    if (transfer_running() && !releasing_connect()) {
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

void on_button_clocknow_clicked(GtkButton*, gpointer) {
    // Widgets that a transfer is filling must not change under it.
    if (transfer_running())
        return;
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    set_clock(parameters, local);
    show_registers(CLOCK_BLOCK);
}

void on_button_upload_clicked(GtkToolButton*, gpointer) {
    if (!transfer_running())
        upload();
}
