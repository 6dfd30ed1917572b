#include "gui/report.h"
#include "base/gmem.h"

#include "formats/safefile.h"
#include "gui/connection.h"
#include "gui/historywindow.h"
#include "gui/session.h"
#include "gui/transfer.h"
#include "gui/window.h"
#include "model/transfers.h"
#include "report/report.h"
#include "text/messages.h"

#include <glib/gi18n.h>

void on_menu_report_activate(GtkMenuItem*, gpointer) {
    // A modal chooser inside a running transfer would stall it.
    if (transfer_running())
        return;
    if (!controller.is_open()) {
        error_dialog(not_connected_text());
        return;
    }
    Asset asset = current_asset();
    std::string offered = (asset.key.empty() ? std::string("report") : asset.key).append(".pdf");
    GtkWidget* chooser = new_file_chooser(_("Save Report"), nullptr, GTK_FILE_CHOOSER_ACTION_SAVE,
                                          "*.pdf", offered.c_str());
    GCharPtr filename(run_file_chooser(chooser));
    gtk_widget_destroy(chooser);
    if (!filename)
        return;
    TransferGuard guard;
    if (!guard.acquired())
        return;
    // Created first, so a place that cannot be written is found before the transfer.
    SafeFile out(filename.get());
    if (!out.stream()) {
        error_dialog(report_write_error_text(filename.get(), out.error()).c_str());
        return;
    }
    ReportSubject subject;
    Parameters& device = subject.settings;
    device.variant = variant;
    int result = read_identification(controller, device);
    if (result > 0)
        result = download_parameters(controller, device);
    if (result <= 0) {
        serial_error(result);
        return;
    }
    std::string kept;
    keep_version(device, "report", "", &kept);
    subject.asset = asset;
    subject.slave = controller.settings().slave;
    subject.baud = controller.settings().baud;
    subject.engineer = default_engineer();
    subject.made = std::time(nullptr);
    subject.tool = std::string(variant->program) + " " + KELVRA_VERSION;
    std::string error;
    std::unique_ptr<History> history =
        asset.key.empty() ? nullptr : History::open(History::folder(), &error);
    if (!write_report(out.stream(), subject, history.get()) || !out.commit()) {
        error_dialog(report_write_error_text(filename.get(), out.error()).c_str());
        return;
    }
    GCharPtr shown(g_filename_display_name(filename.get()));
    std::string said = GCharPtr(g_strdup_printf(_("Report written to %s."), shown.get())).get();
    if (!kept.empty())
        said.append(" ").append(kept);
    show_status(said.c_str());
}
