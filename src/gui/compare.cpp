#include "gui/compare.h"
#include "base/gmem.h"

#include "gui/config.h"
#include "gui/connection.h"
#include "gui/registers.h"
#include "gui/transfer.h"
#include "gui/window.h"
#include "link/serial.h"
#include "model/transfers.h"

#include <cmath>
#include <ctime>
#include <glib/gi18n.h>
#include <map>
#include <string>

bool confirm_uploads = true;

namespace {

// The title of the notebook page a widget is on; empty when it is on none.
std::string page_of(GtkWidget* w) {
    for (GtkWidget* child = w; child && child->parent; child = child->parent)
        if (GTK_IS_NOTEBOOK(child->parent)) {
            const char* text = gtk_notebook_get_tab_label_text(GTK_NOTEBOOK(child->parent), child);
            return text ? text : "";
        }
    return "";
}

std::string shown(const Parameter& p, bool known, uint16_t value) {
    if (!known)
        return "—";
    return value_text(p, value, combo_rows(kelvra_register[p.address].widget[0]));
}

void show_differences(const char* title, const char* heading, const char* theirs,
                      const std::vector<Difference>& found) {
    gtk_widget_show_all(new_differences_dialog(title, heading, theirs, found, false));
}

// The controller's parameters, read now into a set of their own; the window is not touched.
bool read_controller(Parameters& device) {
    device.variant = variant;
    device.nrelays = nrelays;
    device.options = options;
    int result = download_parameters(controller, device);
    if (result <= 0) {
        serial_error(result);
        return false;
    }
    return true;
}

} // namespace

GtkWidget* new_differences_dialog(const char* title, const char* heading, const char* theirs,
                                  const std::vector<Difference>& found, bool asking) {
    GtkWidget* dialog = gtk_dialog_new_with_buttons(
        title, main_window(),
        static_cast<GtkDialogFlags>(GTK_DIALOG_MODAL | GTK_DIALOG_DESTROY_WITH_PARENT), nullptr);
    gtk_widget_set_name(dialog, "compare_dialog");
    GtkWidget* area = GTK_DIALOG(dialog)->vbox;
    // A confirmation with nothing listed asks about the clock alone.
    GtkWidget* label = gtk_label_new(found.empty() && !asking ? _("No differences.") : heading);
    gtk_label_set_line_wrap(GTK_LABEL(label), TRUE);
    gtk_widget_set_size_request(label, 500, -1);
    gtk_misc_set_alignment(GTK_MISC(label), 0, 0.5);
    gtk_misc_set_padding(GTK_MISC(label), 12, 12);
    gtk_box_pack_start(GTK_BOX(area), label, FALSE, FALSE, 0);
    if (!found.empty()) {
        // Grouped by page, in the order the pages come; within a page, transfer order.
        GtkTreeStore* store = gtk_tree_store_new(3, G_TYPE_STRING, G_TYPE_STRING, G_TYPE_STRING);
        std::map<std::string, GtkTreeIter> pages;
        std::vector<Parameter> map = parameter_map(*variant);
        for (const Difference& d : found) {
            const Parameter* p = find_parameter(map, d.address);
            if (!p)
                continue;
            std::string page = page_of(kelvra_register[d.address].widget[0]);
            auto at = pages.find(page);
            if (at == pages.end()) {
                at = pages.emplace(page, GtkTreeIter{}).first;
                gtk_tree_store_append(store, &at->second, nullptr);
                gtk_tree_store_set(store, &at->second, 0, page.c_str(), -1);
            }
            GtkTreeIter row;
            gtk_tree_store_append(store, &row, &at->second);
            gtk_tree_store_set(store, &row, 0, kelvra_register[d.address].label, 1,
                               shown(*p, d.ours_known, d.ours).c_str(), 2,
                               shown(*p, d.theirs_known, d.theirs).c_str(), -1);
        }
        GtkWidget* tree = gtk_tree_view_new_with_model(GTK_TREE_MODEL(store));
        g_object_unref(store);
        gtk_widget_set_name(tree, "compare_table");
        const char* headings[] = {_("Parameter"), _("Window"), theirs};
        for (int c = 0; c < 3; ++c)
            gtk_tree_view_append_column(
                GTK_TREE_VIEW(tree),
                gtk_tree_view_column_new_with_attributes(headings[c], gtk_cell_renderer_text_new(),
                                                         "text", c, nullptr));
        gtk_tree_view_expand_all(GTK_TREE_VIEW(tree));
        GtkWidget* scroller = gtk_scrolled_window_new(nullptr, nullptr);
        gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(scroller), GTK_POLICY_NEVER,
                                       GTK_POLICY_AUTOMATIC);
        gtk_widget_set_size_request(scroller, 520, 320);
        gtk_container_add(GTK_CONTAINER(scroller), tree);
        gtk_box_pack_start(GTK_BOX(area), scroller, TRUE, TRUE, 0);
    }
    if (asking) {
        GtkWidget* dont =
            gtk_check_button_new_with_mnemonic(_("Do not ask again for this session"));
        gtk_widget_set_name(dont, "compare_dont_ask");
        g_object_set_data(G_OBJECT(dialog), "dont_ask", dont);
        gtk_box_pack_start(GTK_BOX(area), dont, FALSE, FALSE, 6);
        gtk_dialog_add_buttons(GTK_DIALOG(dialog), GTK_STOCK_CANCEL, GTK_RESPONSE_CANCEL,
                               _("_Upload"), GTK_RESPONSE_ACCEPT, nullptr);
        gtk_dialog_set_default_response(GTK_DIALOG(dialog), GTK_RESPONSE_CANCEL);
    } else {
        gtk_dialog_add_button(GTK_DIALOG(dialog), GTK_STOCK_OK, GTK_RESPONSE_OK);
        g_signal_connect_swapped(dialog, "response", G_CALLBACK(gtk_widget_destroy), dialog);
    }
    return dialog;
}

// Whether the clock fields to be sent are more than a minute off this computer's time.
bool clock_is_stale() {
    std::tm shown{};
    shown.tm_hour = parameters.value(400);
    shown.tm_min = parameters.value(401);
    shown.tm_sec = parameters.value(402);
    shown.tm_mday = parameters.value(403);
    shown.tm_mon = parameters.value(404) - 1;
    shown.tm_year = parameters.value(405) + 100;
    shown.tm_isdst = -1;
    std::time_t sent = std::mktime(&shown);
    return sent == -1 || std::abs(std::difftime(sent, std::time(nullptr))) > 60;
}

bool confirm_upload(const UploadPlan& plan) {
    // A stale clock is never sent unnoticed, whether asked about the rest or not.
    bool stale = clock_is_stale();
    if (!confirm_uploads && !stale)
        return true;
    std::vector<Difference> found = confirm_uploads ? plan.changes : std::vector<Difference>{};
    const char* title = _("Upload");
    const char* theirs = _("Controller now");
    if (found.empty() && !stale) { // nothing to write
        show_differences(title, "", theirs, found);
        return false;
    }
    std::string heading =
        found.empty() ? "" : _("Upload changes these parameters of the controller:");
    if (stale) {
        char sent[64];
        g_snprintf(sent, sizeof sent, "%02u:%02u:%02u %02u/%02u/%04u", parameters.value(400),
                   parameters.value(401), parameters.value(402), parameters.value(403),
                   parameters.value(404), parameters.value(405) + 2000u);
        GCharPtr note(g_strdup_printf(
            _("The clock fields (%s) are more than a minute off this computer's time; "
              "\"Set to computer time\" on the Clock page corrects them."),
            sent));
        heading = heading.empty() ? note.get() : heading + "\n\n" + note.get();
    }
    GtkWidget* dialog = new_differences_dialog(title, heading.c_str(), theirs, found, true);
    gtk_widget_show_all(dialog);
    bool go = gtk_dialog_run(GTK_DIALOG(dialog)) == GTK_RESPONSE_ACCEPT;
    auto* dont = static_cast<GtkWidget*>(g_object_get_data(G_OBJECT(dialog), "dont_ask"));
    if (go && gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(dont)))
        confirm_uploads = false;
    gtk_widget_destroy(dialog);
    return go;
}

void show_kept(const std::vector<Difference>& kept) {
    GCharPtr heading(
        g_strdup_printf(ngettext("The controller kept a different value for %d parameter.",
                                 "The controller kept different values for %d parameters.",
                                 static_cast<unsigned long>(kept.size())),
                        static_cast<int>(kept.size())));
    show_differences(_("Upload"), heading.get(), _("Controller kept"), kept);
}

void on_menu_comparedevice_activate(GtkMenuItem*, gpointer) {
    if (transfer_running())
        return;
    TransferGuard guard;
    Parameters device;
    if (!read_controller(device))
        return;
    show_differences(_("Compare"), _("The window and the controller differ in:"), _("Controller"),
                     differences(parameters, device, nrelays, options));
}

void on_menu_comparefile_activate(GtkMenuItem*, gpointer) {
    if (transfer_running())
        return;
    GtkWidget* chooser = new_compare_chooser();
    GCharPtr filename(run_file_chooser(chooser));
    Parameters file;
    file.variant = variant;
    // The chooser stays up until the reading is done, so its error shows over it.
    bool read = filename &&
                read_config_file(filename.get(), [&file](int a, uint16_t v) { file.set(a, v); });
    gtk_widget_destroy(chooser);
    if (!read)
        return;
    // Connected, the controller's layout; else the one the file covers.
    bool connected = controller.is_open();
    int relays = connected ? nrelays : relays_in(file);
    int port = connected ? options : options_in(file);
    GCharPtr shown_name(g_filename_display_basename(filename.get()));
    show_differences(_("Compare"), _("The window and the file differ in:"), shown_name.get(),
                     differences(parameters, file, relays, port));
}
