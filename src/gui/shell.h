// The application shell: the command line, start-up, the interface loader, the window's clock,
// Quit and About. The top of gui/.
#pragma once

#include <ctime>
#include <initializer_list>
#include <string>

#include "gui/window.h"
#include "model/variant.h"
#include "text/textdomain.h"

// Loads an interface file from the first folder that holds a loadable copy; null if none does.
GladeXML* glade_load(const char* name, std::initializer_list<const char*> folders);
// Loads an interface file from "ui/" or the system folder; ends the process when neither has it.
GladeXML* glade_parse(const char* name);

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
