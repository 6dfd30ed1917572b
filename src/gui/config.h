// The configuration file commands: open and save through file choosers, bound to the window's
// register widgets.
#pragma once

#include "formats/configfile.h"

#include <glib.h>
#include <gtk/gtk.h>

// The file last accepted in either chooser (file system encoding); null until then.
extern gchar* config_filename;

// Writes the window's parameters to `filename`; a failure is reported and leaves any existing
// file as it was.
void save_config(const char* filename);
// Reads `filename` into the window's widgets; faults are reported.
void open_config(const char* filename);
// Reads a configuration file of the running variant, each value through `apply`; false when it
// could not be read to its end, after the fault was reported.
bool read_config_file(const char* filename, const RegisterSink& apply);

// The choosers as the commands run them (the caller destroys them).
GtkWidget* new_open_config_chooser();
GtkWidget* new_save_config_chooser();
GtkWidget* new_compare_chooser();

extern "C" {
G_MODULE_EXPORT void on_menu_openconfig_activate(GtkMenuItem* item, gpointer data);
G_MODULE_EXPORT void on_menu_saveconfig_activate(GtkMenuItem* item, gpointer data);
}
