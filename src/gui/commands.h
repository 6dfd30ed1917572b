// The commands that talk to the controller: Connect, Download, Upload, and the wording of
// link failures.
#pragma once

#include <gtk/gtk.h>

// Shows the message for a failed request's link result code and drops the connection by
// releasing "Connect". Codes other than 0, -1 and -2 are ignored.
void serial_error(int code);

extern "C" {
G_MODULE_EXPORT void on_button_connect_toggled(GtkToggleToolButton* button, gpointer data);
G_MODULE_EXPORT void on_button_download_clicked(GtkToolButton* button, gpointer data);
G_MODULE_EXPORT void on_button_upload_clicked(GtkToolButton* button, gpointer data);
// "Set to computer time": the clock fields from this computer's clock.
G_MODULE_EXPORT void on_button_clocknow_clicked(GtkButton* button, gpointer data);
}
