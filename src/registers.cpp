// Placeholder until the register table lands: keeps the device commands insensitive.
#include "registers.h"

#include "app.h"

RegisterEntry kelvra_register[REGISTER_COUNT];
int nrelays = 0;
int options = 0;

void set_sensitive(int sensitive) {
    for (const char* name : {"Upload", "Download", "menu_events"})
        if (GtkWidget* w = glade_xml_get_widget(glade_xml, name))
            gtk_widget_set_sensitive(w, sensitive);
}

void init_registers() {
    set_sensitive(FALSE);
}

void on_tau_value_changed(GtkSpinButton*, gpointer) {}
void on_m_value_changed(GtkSpinButton*, gpointer) {}
