// The event memory export command: the controller's event memory downloaded and written as CSV.
#pragma once

#include <gtk/gtk.h>

// Downloads the event memory and writes it to `filename` as CSV; a failure is reported and
// leaves any existing file as it was. Does nothing while another transfer runs.
void save_events(const char* filename);

extern "C" {
G_MODULE_EXPORT void on_menu_saveevents_activate(GtkMenuItem* item, gpointer data);
// Downloads the event memory, with the export's progress bar, and opens the viewer on it.
G_MODULE_EXPORT void on_menu_viewevents_activate(GtkMenuItem* item, gpointer data);
}
