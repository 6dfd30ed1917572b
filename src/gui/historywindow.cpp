#include "gui/historywindow.h"
#include "base/gmem.h"

#include "gui/compare.h"
#include "gui/config.h"
#include "gui/connection.h"
#include "gui/eventview.h"
#include "gui/linkwindow.h"
#include "gui/registers.h"
#include "gui/transfer.h"
#include "gui/window.h"
#include "history/history.h"
#include "text/messages.h"

#include <glib/gi18n.h>

namespace {

std::unique_ptr<History> open_history() {
    std::string error;
    std::unique_ptr<History> h = History::open(History::folder(), &error);
    if (!h)
        error_dialog(history_error_text(error).c_str());
    return h;
}

enum { COLUMN_REV, COLUMN_DATE, COLUMN_AUTHOR, COLUMN_ACTION, COLUMNS };

// The revision chosen in the History dialog's list; empty when none is.
std::string chosen_rev(GtkWidget* list) {
    GtkTreeModel* model = nullptr;
    GtkTreeIter row;
    if (!gtk_tree_selection_get_selected(gtk_tree_view_get_selection(GTK_TREE_VIEW(list)), &model,
                                         &row))
        return "";
    gchar* rev = nullptr;
    gtk_tree_model_get(model, &row, COLUMN_REV, &rev, -1);
    return GCharPtr(rev).get();
}

enum { RESPONSE_COMPARE = 1, RESPONSE_RESTORE = 2, RESPONSE_CONTROLLER = 3, RESPONSE_EVENTS = 4 };

} // namespace

Asset current_asset() {
    return asset_reached(asset_name(), controller.opened());
}

std::string asset_key() {
    return current_asset().key;
}

bool keep_version(const Parameters& p, const std::string& action, const std::string& what,
                  std::string* said, const std::string& body) {
    said->clear();
    Asset asset = current_asset();
    const std::string& key = asset.key;
    if (key.empty())
        return true;
    std::unique_ptr<History> history = open_history();
    std::string error;
    std::string message = action + " " + key;
    if (!what.empty())
        message.append(": ").append(what);
    if (!body.empty())
        message.append("\n\n").append(body);
    if (!history || history->record(asset, p, message, &error).empty()) {
        if (history)
            error_dialog(history_error_text(error).c_str());
        return false;
    }
    GCharPtr text(g_strdup_printf(_("Kept in the history of %s."), key.c_str()));
    *said = text.get();
    return true;
}

void keep_events(const uint8_t* dump, uint32_t length, EventSource* view) {
    Asset asset = current_asset();
    EventFileHeader about =
        events_about(parameters, asset, std::string(variant->program) + " " + KELVRA_VERSION);
    if (view) {
        view->about = about;
        view->dump.assign(dump, dump + length);
    }
    std::unique_ptr<History> history = asset.key.empty() ? nullptr : open_history();
    if (!history)
        return;
    std::string error;
    EventSource merged;
    if (history
            ->record_events(asset, about, dump_records(dump, length), "events " + asset.key, &error)
            .empty() ||
        (view && !history->events(asset.key, "HEAD", &merged.about, &merged.records, &error)))
        error_dialog(history_error_text(error).c_str());
    else if (view)
        *view = std::move(merged);
}

bool keep_backup(const Parameters& held, std::string* why) {
    std::string said;
    if (keep_version(held, "backup", _("before upload"), &said))
        return true;
    *why = _("Nothing was written: the backup could not be kept.");
    return false;
}

void on_menu_history_activate(GtkMenuItem*, gpointer) {
    if (transfer_running())
        return;
    std::string key = asset_key();
    if (key.empty()) {
        error_dialog(_("This controller has no name in the history: give it one in Connection "
                       "Settings."));
        return;
    }
    std::unique_ptr<History> history = open_history();
    if (!history)
        return;
    GCharPtr title(g_strdup_printf(_("History of %s"), key.c_str()));
    GtkWidget* dialog = gtk_dialog_new_with_buttons(
        title.get(), main_window(),
        GtkDialogFlags(GTK_DIALOG_MODAL | GTK_DIALOG_DESTROY_WITH_PARENT), _("_Events…"),
        RESPONSE_EVENTS, _("Compare with _Window"), RESPONSE_COMPARE, _("Compare with _Controller"),
        RESPONSE_CONTROLLER, _("_Restore…"), RESPONSE_RESTORE, GTK_STOCK_CLOSE, GTK_RESPONSE_CLOSE,
        nullptr);
    gtk_widget_set_name(dialog, "history_dialog");
    GtkListStore* store =
        gtk_list_store_new(COLUMNS, G_TYPE_STRING, G_TYPE_STRING, G_TYPE_STRING, G_TYPE_STRING);
    for (const Version& v : history->versions(key)) {
        GtkTreeIter row;
        gtk_list_store_append(store, &row);
        gtk_list_store_set(store, &row, COLUMN_REV, v.rev.c_str(), COLUMN_DATE, v.date.c_str(),
                           COLUMN_AUTHOR, v.author.c_str(), COLUMN_ACTION, v.message.c_str(), -1);
    }
    GtkWidget* list = gtk_tree_view_new_with_model(GTK_TREE_MODEL(store));
    g_object_unref(store);
    gtk_widget_set_name(list, "history_list");
    const char* headings[] = {_("Version"), _("Date"), _("Author"), _("Action")};
    for (int c = 0; c < COLUMNS; ++c)
        gtk_tree_view_append_column(
            GTK_TREE_VIEW(list),
            gtk_tree_view_column_new_with_attributes(headings[c], gtk_cell_renderer_text_new(),
                                                     "text", c, nullptr));
    GtkWidget* scroller = gtk_scrolled_window_new(nullptr, nullptr);
    gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(scroller), GTK_POLICY_AUTOMATIC,
                                   GTK_POLICY_AUTOMATIC);
    gtk_widget_set_size_request(scroller, 640, 300);
    gtk_container_add(GTK_CONTAINER(scroller), list);
    gtk_box_pack_start(GTK_BOX(GTK_DIALOG(dialog)->vbox), scroller, TRUE, TRUE, 0);
    gtk_widget_show_all(dialog);
    for (;;) {
        int response = gtk_dialog_run(GTK_DIALOG(dialog));
        // Every event record the history keeps of the asset, whatever version is chosen.
        if (response == RESPONSE_EVENTS) {
            EventSource source;
            std::string error;
            if (history->events(key, "HEAD", &source.about, &source.records, &error))
                open_event_viewer(std::move(source));
            else
                error_dialog(history_error_text(error).c_str());
            continue;
        }
        std::string rev = chosen_rev(list);
        if ((response != RESPONSE_COMPARE && response != RESPONSE_RESTORE &&
             response != RESPONSE_CONTROLLER) ||
            rev.empty())
            break;
        Parameters version;
        std::string commit, error;
        if (!history->load(key, rev, version, &commit, &error)) {
            error_dialog(history_error_text(error).c_str());
            continue;
        }
        GCharPtr named(g_strdup_printf("%s@%s", key.c_str(), commit.c_str()));
        if (response == RESPONSE_COMPARE) {
            gtk_widget_show_all(new_differences_dialog(
                _("Compare"), _("The window and the version differ in:"), named.get(),
                differences(parameters, version, nrelays, options), false));
            continue;
        }
        if (response == RESPONSE_CONTROLLER) {
            if (!controller.is_open()) {
                error_dialog(not_connected_text());
                continue;
            }
            // The controller now, in a set of its own; the window is not touched.
            Parameters device;
            device.variant = variant;
            device.nrelays = nrelays;
            device.options = options;
            TransferGuard guard;
            int result = download_parameters(controller, device);
            if (result <= 0) {
                serial_error(result);
                break;
            }
            // The version stands where the dialog otherwise shows the window.
            gtk_widget_show_all(new_differences_dialog(
                _("Compare"), _("The version and the controller differ in:"), _("Controller"),
                differences(version, device, nrelays, options), false));
            continue;
        }
        // Restore: the version goes into the window, then through Upload and its questions.
        gtk_widget_destroy(dialog);
        for (uint16_t a : config_addresses(*variant, RELAYS_BOUND, OPTION_DNP3))
            if (version.has(a)) {
                parameters.set(a, version.value(a));
                set_register(a, version.value(a));
            }
        if (GtkWidget* upload = glade_xml_get_widget(glade_xml, "Upload"))
            g_signal_emit_by_name(upload, "clicked");
        return;
    }
    gtk_widget_destroy(dialog);
}
