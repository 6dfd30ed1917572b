// The application shell: start-up, the interface loader, the error dialog, the clock, Quit and
// About.
#pragma once

#include <ctime>
#include <glade/glade.h>
#include <gtk/gtk.h>
#include <initializer_list>
#include <string>

struct Variant;

extern GladeXML* glade_xml;
// Error domain of the configuration reader.
extern GQuark domain;

constexpr const char* TEXT_DOMAIN = "kelvra";
constexpr const char* SYSTEM_UI_DIR = "/usr/share/ostrel/ui/";
constexpr const char* SYSTEM_LOCALE_DIR = "/usr/share/locale";

// The catalogue folder: "share/locale" under the working directory when that is a directory.
const char* locale_dir();

// Loads an interface file from the first folder that holds a loadable copy; null if none does.
GladeXML* glade_load(const char* name, std::initializer_list<const char*> folders);
// Loads an interface file from "ui/" or the system folder; ends the process when neither has it.
GladeXML* glade_parse(const char* name);

void error_dialog(const char* text);

// "HH:MM:SS" of a local time.
std::string clock_text(const std::tm& t);

// The program: start-up, main loop, shutdown. Returns the process exit status.
int kelvra_run(const Variant& v);

extern "C" {
gboolean HMS_label_update(gpointer data);
G_MODULE_EXPORT gboolean on_window_delete_event(GtkWidget* w, GdkEvent* e, gpointer data);
G_MODULE_EXPORT void on_menu_quit_activate(GtkMenuItem* item, gpointer data);
G_MODULE_EXPORT void on_menu_about_activate(GtkMenuItem* item, gpointer data);
}
