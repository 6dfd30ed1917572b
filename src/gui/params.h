// The parameter map bound to the window, the activation pass that follows a Connect, and the
// validation before an Upload or a Save, which words a missing value for the user.
#pragma once

#include "gui/registers.h"

#include <cstdint>
#include <gtk/gtk.h>

// What the widgets show at the address (1); a register without a value is reported (0).
int get_register(int address, uint16_t* out);
// "Parameter '%s' not defined." for the register.
void report_undefined(int address);

// Parameter map of the running variant; binds every register widget, all insensitive.
void init_registers();
void init_alternate_activation(int n);
void init_active();
// The validation pass with its outcome: 0 when a parameter without a value was found (and
// reported), 1 when every register of the transfer has one.
int check_registers();

extern "C" {
G_MODULE_EXPORT void on_tau_value_changed(GtkSpinButton* s, gpointer data);
G_MODULE_EXPORT void on_m_value_changed(GtkSpinButton* s, gpointer data);
}
