// The register table: 1024 entries binding holding registers to the widgets that show them,
// with the converters between widget values and 16-bit register values; and the parameter
// maps, activation and validation built on it.
#pragma once

#include "variant.h"

#include <cstdint>
#include <gtk/gtk.h>

struct RegisterEntry {
    const char* label;
    int32_t kind; // RegisterKind
    GtkWidget* widget[4];
    double scale;
    int32_t enabled;
};

constexpr int REGISTER_COUNT = 1024;
extern RegisterEntry kelvra_register[REGISTER_COUNT];

// Relay count and option bits of the connected device (last identification).
extern int nrelays;
extern int options;

void init_register_combo_box(int address, const char* widget, const char* label);
void init_register_spin_button(int address, const char* widget, const char* label, double scale);
void init_register_calendar_day(int address, const char* widget, const char* label);
void init_register_calendar_month(int address, const char* widget, const char* label);
void init_register_calendar_year(int address, const char* widget, const char* label);
void init_register_hour_minute(int address, const char* hour_widget, const char* minute_widget,
                               const char* label);

void set_sensitive(int sensitive);
void reset_registers();
int get_register(int address, uint16_t* out);
void set_register(int address, uint16_t value);

// Parameter map of the running variant; binds every register widget, all insensitive.
void init_registers();
void init_alternate_activation(int n);
void init_active();
void validate_registers();
// The validation pass with its outcome: 0 when a parameter without a value was found (and
// reported), 1 when every register of the transfer has one.
int check_registers();

extern "C" {
G_MODULE_EXPORT void on_tau_value_changed(GtkSpinButton* s, gpointer data);
G_MODULE_EXPORT void on_m_value_changed(GtkSpinButton* s, gpointer data);
}
