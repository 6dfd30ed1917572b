// Placeholder until the device commands land.
#include <gtk/gtk.h>

extern "C" {
G_MODULE_EXPORT void on_button_connect_toggled(GtkToggleToolButton*, gpointer) {}
G_MODULE_EXPORT void on_button_download_clicked(GtkToolButton*, gpointer) {}
G_MODULE_EXPORT void on_button_upload_clicked(GtkToolButton*, gpointer) {}
}
