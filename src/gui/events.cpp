#include "gui/events.h"
#include "gui/historywindow.h"
#include "link/netport.h"
#include "base/gmem.h"

#include "formats/eventcsv.h"
#include "formats/safefile.h"
#include "gui/connection.h"
#include "gui/eventview.h"
#include "gui/registers.h"
#include "gui/transfer.h"
#include "gui/window.h"
#include "link/serial.h"
#include "model/variant.h"
#include "text/messages.h"

#include <glib/gi18n.h>
#include <memory>

namespace {

GtkWidget* widget(const char* name) {
    return glade_xml ? glade_xml_get_widget(glade_xml, name) : nullptr;
}

GtkProgressBar* progress_bar() {
    GtkWidget* w = widget("events_progress");
    return w && GTK_IS_PROGRESS_BAR(w) ? GTK_PROGRESS_BAR(w) : nullptr;
}

// Told by the link after every read cycle; the link redraws the window meanwhile.
void show_progress(uint32_t received, void* data) {
    auto* bar = static_cast<GtkProgressBar*>(data);
    double fraction = static_cast<double>(received) / EVENTS_LENGTH;
    gtk_progress_bar_set_fraction(bar, fraction < 1.0 ? fraction : 1.0);
}

// The dump, read with the progress bar showing how far it has come; its link result code.
int download_events(GPtr<uint8_t>& dump, uint32_t& length) {
    GtkProgressBar* bar = progress_bar();
    if (bar) {
        gtk_widget_show(GTK_WIDGET(bar));
        gtk_progress_bar_set_fraction(bar, 0.0);
    }
    uint8_t* raw = nullptr;
    int result = controller.read_events(&raw, &length, bar ? show_progress : nullptr, bar);
    dump.reset(raw);
    if (bar)
        gtk_widget_hide(GTK_WIDGET(bar));
    return result;
}

// The download and the writing, inside a transfer the caller holds.
void export_events(const char* filename) {
    // Created first, so a place that cannot be written is found before the long download.
    SafeFile out(filename);
    if (!out.stream()) {
        error_dialog(events_write_error_text());
        return;
    }
    GPtr<uint8_t> dump;
    uint32_t length = 0;
    int result = download_events(dump, length);
    if (result <= 0 || !dump || !write_event_csv(out.stream(), dump.get(), length) || !out.commit())
        error_dialog(events_write_error_text());
    else
        keep_events(dump.get(), length);
}

GtkStatusbar* statusbar() {
    GtkWidget* w = widget("statusbar");
    return w && GTK_IS_STATUSBAR(w) ? GTK_STATUSBAR(w) : nullptr;
}
// Whether the device has an event memory that can reach the window; says so when not.
bool has_event_memory() {
    if (!(options & OPTION_EVENTS))
        error_dialog(no_event_memory_text());
    else if (bridge::is_modbus_tcp(controller.opened()))
        error_dialog(events_over_gateway_text());
    else
        return true;
    return false;
}

// The status bar while the memory comes in: the message is drawn before the download starts,
// and replaced by "Finished downloading events." when finished() is called, else removed.
class DownloadStatus {
  public:
    DownloadStatus() : bar_(statusbar()) {
        if (!bar_)
            return;
        gtk_statusbar_push(bar_, 0, _("Downloading events. This may take up to a minute."));
        while (gtk_events_pending())
            gtk_main_iteration_do(FALSE);
    }
    ~DownloadStatus() {
        if (bar_ && !finished_)
            gtk_statusbar_pop(bar_, 0);
    }
    DownloadStatus(const DownloadStatus&) = delete;
    DownloadStatus& operator=(const DownloadStatus&) = delete;
    void finished() {
        finished_ = true;
        if (!bar_)
            return;
        gtk_statusbar_pop(bar_, 0);
        gtk_statusbar_push(bar_, 0, _("Finished downloading events."));
    }

  private:
    GtkStatusbar* bar_;
    bool finished_ = false;
};
} // namespace

void save_events(const char* filename) {
    TransferGuard guard;
    if (guard.acquired())
        export_events(filename);
}

void on_menu_viewevents_activate(GtkMenuItem*, gpointer) {
    if (transfer_running() || !has_event_memory())
        return;
    TransferGuard guard;
    if (!guard.acquired())
        return;
    DownloadStatus status;
    GPtr<uint8_t> dump;
    uint32_t length = 0;
    int result = download_events(dump, length);
    // A failed download is a link failure like any other: said, and the connection dropped.
    if (result <= 0) {
        serial_error(result);
        return;
    }
    status.finished();
    EventSource view;
    keep_events(dump.get(), length, &view);
    open_event_viewer(std::move(view));
}

void on_menu_saveevents_activate(GtkMenuItem*, gpointer) {
    // A modal chooser inside a running transfer would stall it.
    if (transfer_running() || !has_event_memory())
        return;
    GtkWidget* chooser = new_events_chooser();
    gchar* filename = run_file_chooser(chooser);
    gtk_widget_destroy(chooser);
    GCharPtr owned(filename);
    if (!filename)
        return;

    // Taken before the status message is drawn, so nothing can start in between.
    TransferGuard guard;
    if (!guard.acquired())
        return;
    DownloadStatus status;
    export_events(filename);
    status.finished();
}
