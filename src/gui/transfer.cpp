#include "gui/transfer.h"

#include "gui/window.h"

namespace {
bool running = false;
bool device_commands = false;

constexpr const char* DEVICE_COMMANDS[] = {
    "Download",           "Upload",      "menu_events", "menu_viewevents",
    "menu_comparedevice", "SetClockNow", "menu_report"};
// Commands that need no device but must not run while a transfer does.
constexpr const char* OTHER_COMMANDS[] = {"Connect",          "menu_openconfig", "menu_saveconfig",
                                          "menu_comparefile", "menu_connection", "menu_history",
                                          "menu_about"};

void set_widget_sensitive(const char* name, bool sensitive) {
    if (!glade_xml)
        return;
    if (GtkWidget* w = glade_xml_get_widget(glade_xml, name))
        gtk_widget_set_sensitive(w, sensitive);
}

void set_all(bool others, bool device) {
    for (const char* name : OTHER_COMMANDS)
        set_widget_sensitive(name, others);
    for (const char* name : DEVICE_COMMANDS)
        set_widget_sensitive(name, device);
}
} // namespace

bool transfer_running() {
    return running;
}

TransferGuard::TransferGuard() : acquired_(!running) {
    if (!acquired_)
        return;
    running = true;
    set_all(false, false);
}

TransferGuard::~TransferGuard() {
    if (!acquired_)
        return;
    running = false;
    refresh_commands();
}

void set_device_commands(bool sensitive) {
    device_commands = sensitive;
    if (running)
        return;
    for (const char* name : DEVICE_COMMANDS)
        set_widget_sensitive(name, sensitive);
}

void refresh_commands() {
    if (!running)
        set_all(true, device_commands);
}
