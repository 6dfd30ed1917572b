// The commands that talk to the controller: Connect, Download, Upload, and the clock's
// "Set to computer time".
#pragma once

#include <gtk/gtk.h>

extern "C" {
G_MODULE_EXPORT void on_button_connect_toggled(GtkToggleToolButton* button, gpointer data);
G_MODULE_EXPORT void on_button_download_clicked(GtkToolButton* button, gpointer data);
G_MODULE_EXPORT void on_button_upload_clicked(GtkToolButton* button, gpointer data);
// "Set to computer time": the clock fields from this computer's clock.
G_MODULE_EXPORT void on_button_clocknow_clicked(GtkButton* button, gpointer data);
}
