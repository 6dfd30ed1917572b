// The register table: 1024 entries binding holding registers to the widgets that show them,
// with the converters between widget values and 16-bit register values. It says nothing to the
// user: a register without a value is handed up (register_shown, collect_registers).
#pragma once

#include "model/parameters.h"

#include <cstdint>
#include <gtk/gtk.h>

struct RegisterEntry {
    const char* label;
    int32_t kind; // RegisterKind
    GtkWidget* widget[4];
    double scale;
    int32_t enabled;
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

// The values the widgets show, into `parameters`: a choice not made leaves its register without
// a value; registers that no widget shows keep theirs.
void collect_registers();
// The parameters' values of a block, into the widgets that show them.
void show_registers(const Block& b);
