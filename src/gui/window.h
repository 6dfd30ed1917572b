// gui/: the window. The only room that includes the toolkit: the shell that starts the program,
// the register table's binding to the widgets and the activation pass, the commands (Connect,
// Download, Upload, the configuration and event files), the transfer guard, the event viewer
// and the compare dialogs. It uses every room below it (link, formats, model, plot, text) and
// is the one that words their failures for the user, in dialogs and the status bar.
//
// This header is the bottom of the room: the loaded interface and what every command shows
// over it (the error dialog, the status bar, the file choosers). It includes nothing of gui/.
#pragma once

#include <glade/glade.h>
#include <gtk/gtk.h>
#include <string>
#include <vector>

// The main window's interface, once loaded.
extern GladeXML* glade_xml;

void error_dialog(const char* text);

// The main window; null when no interface is loaded.
GtkWindow* main_window();
// Runs a file chooser: the file accepted (the caller frees it), or null. The chooser stays.
// The accepted file's folder is where the next chooser opens.
gchar* run_file_chooser(GtkWidget* chooser);
// A file chooser over `parent` (null: the main window) that shows the files of `pattern`, opened
// in the last folder used, else Documents, else home. A save chooser offers `name` and asks
// before it replaces a file.
GtkWidget* new_file_chooser(const char* title, GtkWindow* parent, GtkFileChooserAction action,
                            const char* pattern, const char* name = nullptr);
// Replaces what the status bar says about the connection and its transfers; null clears it.
void show_status(const char* text);
// The widget of that name in a window built in code (the root included); null when none is.
GtkWidget* find_named_widget(GtkWidget* root, const char* name);
// The rows a combo box offers (none for a widget that is no combo box).
std::vector<std::string> combo_rows(GtkWidget* w);
// Runs the main loop until nothing is pending, when a display is open: the link's idle hook,
// which keeps the window live while a reply comes in.
void dispatch_pending_events();
