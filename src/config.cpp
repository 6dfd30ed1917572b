// Placeholder until the configuration files land.
#include <gtk/gtk.h>

extern "C" {
G_MODULE_EXPORT void on_menu_openconfig_activate(GtkMenuItem*, gpointer) {}
G_MODULE_EXPORT void on_menu_saveconfig_activate(GtkMenuItem*, gpointer) {}
}
