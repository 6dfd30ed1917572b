// File > Report: the commissioning report of the connected controller, read into a set of its
// own (the window's values stay as edited), kept in its history, and written as a PDF.
#pragma once

#include <gtk/gtk.h>

extern "C" {
G_MODULE_EXPORT void on_menu_report_activate(GtkMenuItem* item, gpointer data);
}
