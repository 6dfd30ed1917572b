// The window's way to the controller: the Connection Settings dialog (where, slave, baud),
// remembered in $XDG_CONFIG_HOME/kelvra/connection.ini; the choice of bridge when several are
// attached; the link's statistics and the recording of its trace for a support request.
#pragma once

#include <gtk/gtk.h>
#include <string>

// At start: the remembered settings into the session's link.
void load_link_settings();
// The asset's name for the history, as Connection Settings keep it; empty when none is given.
const std::string& asset_name();
// Before Connect: the port to open. KELVRA_PORT, when set, is this run's port whatever is kept;
// with no port set and several bridges attached it asks which ("bridge_dialog"); false when the
// user cancelled. The choice holds for this connection.
bool choose_bridge();
// After the open: the settings as they were before choose_bridge.
void forget_bridge_choice();

extern "C" {
G_MODULE_EXPORT void on_menu_connection_activate(GtkMenuItem* item, gpointer data);
G_MODULE_EXPORT void on_menu_linkstats_activate(GtkMenuItem* item, gpointer data);
G_MODULE_EXPORT void on_menu_trace_toggled(GtkCheckMenuItem* item, gpointer data);
}
