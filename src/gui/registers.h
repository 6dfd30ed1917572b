// The register table: 1024 entries binding holding registers to the widgets that show them,
// with the converters between widget values and 16-bit register values. Every edit of a bound
// widget is stored into the session (gui/session.h) as it happens. It says nothing to the user:
// a register without a value is handed up (register_shown) or left without one in the session.
#pragma once

#include "gui/session.h"

#include <cstdint>
#include <gtk/gtk.h>

struct RegisterEntry {
    const char* label;
    int32_t kind; // RegisterKind
    GtkWidget* widget[4];
    double scale;
    int32_t enabled;
    double off_or_at_least; // a spin button's rule: either 0 or at least this (tau, m)
};

extern RegisterEntry kelvra_register[REGISTER_COUNT];

void init_register_combo_box(int address, const char* widget, const char* label);
void init_register_spin_button(int address, const char* widget, const char* label, double scale);
void init_register_calendar_day(int address, const char* widget, const char* label);
void init_register_calendar_month(int address, const char* widget, const char* label);
void init_register_calendar_year(int address, const char* widget, const char* label);
void init_register_hour_minute(int address, const char* hour_widget, const char* minute_widget,
                               const char* label);

void set_sensitive(int sensitive);
// Empties the bound number fields and combo boxes: before the first Download or file open they
// hold nothing from any controller, and zeros would look real. Empty ones read as no value.
void blank_registers();
void reset_registers();
// What the widgets show at the address; false when they hold no value.
bool register_shown(int address, uint16_t* out);
void set_register(int address, uint16_t value);

// Stores into the session what the widget shows, for each register it is bound to (after a
// change that emits no signal, such as new rows of a combo box).
void store_registers_of(GtkWidget* w);
// Parameters that are either 0 (off) or at least `minimum` (tau, m): a small step up from 0
// jumps to the minimum, anything else below it falls to 0. Others (minimum 0) stay as they are.
double snap_value(double v, double minimum);
// The parameters' values of a block, into the widgets that show them.
void show_registers(const Block& b);
