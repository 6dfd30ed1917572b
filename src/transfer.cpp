#include "transfer.h"

#include "app.h"

namespace {
bool running = false;

// Commands that must not run while a transfer does.
constexpr const char* GUARDED[] = {"Connect",         "Download",        "Upload",    "menu_events",
                                   "menu_openconfig", "menu_saveconfig", "menu_about"};

void set_widget_sensitive(const char* name, bool sensitive) {
    if (GtkWidget* w = glade_xml_get_widget(glade_xml, name))
        gtk_widget_set_sensitive(w, sensitive);
}

bool connected() {
    GtkWidget* connect = glade_xml_get_widget(glade_xml, "Connect");
    return connect && gtk_toggle_tool_button_get_active(GTK_TOGGLE_TOOL_BUTTON(connect));
}
} // namespace

bool transfer_running() {
    return running;
}

TransferGuard::TransferGuard() : acquired_(!running) {
    if (!acquired_)
        return;
    running = true;
    for (const char* name : GUARDED)
        set_widget_sensitive(name, false);
}

TransferGuard::~TransferGuard() {
    if (!acquired_)
        return;
    running = false;
    refresh_commands();
}

void refresh_commands() {
    if (running)
        return;
    bool device = connected();
    for (const char* name : GUARDED) {
        bool device_command = g_str_equal(name, "Download") || g_str_equal(name, "Upload") ||
                              g_str_equal(name, "menu_events");
        set_widget_sensitive(name, device_command ? device : true);
    }
}
