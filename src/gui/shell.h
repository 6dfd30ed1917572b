// The application shell: start-up, the interface loader, the error dialog, the clock, Quit and
// About.
#pragma once

#include <ctime>
#include <glade/glade.h>
#include <gtk/gtk.h>
#include <initializer_list>
#include <string>

#include "textdomain.h"
#include "variant.h"

extern GladeXML* glade_xml;

// Loads an interface file from the first folder that holds a loadable copy; null if none does.
GladeXML* glade_load(const char* name, std::initializer_list<const char*> folders);
// Loads an interface file from "ui/" or the system folder; ends the process when neither has it.
GladeXML* glade_parse(const char* name);

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

// Runs the main loop until nothing is pending, when a display is open: the link's idle hook,
// which keeps the window live while a reply comes in.
void dispatch_pending_events();

// "HH:MM:SS" of a local time.
std::string clock_text(const std::tm& t);

// The command line, read before any display is opened: --help and --version print and give the
// exit status; else -1, with `file` the configuration file to start with (empty: none).
int parse_command_line(const Variant& v, int argc, char** argv, std::string& file);
// The program: start-up (with `file` loaded, when given), main loop, shutdown. Returns the
// process exit status.
int kelvra_run(const Variant& v, const char* file = nullptr);

extern "C" {
gboolean HMS_label_update(gpointer data);
G_MODULE_EXPORT gboolean on_window_delete_event(GtkWidget* w, GdkEvent* e, gpointer data);
G_MODULE_EXPORT void on_menu_quit_activate(GtkMenuItem* item, gpointer data);
G_MODULE_EXPORT void on_menu_about_activate(GtkMenuItem* item, gpointer data);
}
