// The register table: binding registers to widgets and converting between the two.
#include "gui/registers.h"
#include "base/gmem.h"
#include "formats/datetime.h"

#include "gui/transfer.h"
#include "gui/window.h"

#include <cmath>
#include <memory>

RegisterEntry kelvra_register[REGISTER_COUNT];

namespace {

// The named widget, when the interface has it and it is of the class the kind works on; a
// missing or mismatched widget leaves the entry unbound rather than cast wrongly on every use.
GtkWidget* find_widget(const char* name, GType type) {
    if (!glade_xml || !name)
        return nullptr;
    GtkWidget* w = glade_xml_get_widget(glade_xml, name);
    if (!w || !G_TYPE_CHECK_INSTANCE_TYPE(w, type))
        return nullptr;
    return w;
}

void store(int address);

// Every edit reaches the session at once, whatever made it: the user, a Download or Open, or
// a rule of the window's own. Setting a widget from the session stores what it then shows.
void on_edit(GtkWidget*, gpointer address) {
    store(GPOINTER_TO_INT(address));
}

void watch(GtkWidget* w, int address) {
    if (!w)
        return;
    const char* signals[2] = {"changed", nullptr}; // a combo box's choice, a spin button's text
    if (GTK_IS_SPIN_BUTTON(w))
        signals[1] = "value-changed";
    else if (GTK_IS_CALENDAR(w))
        signals[0] = "day-selected", signals[1] = "month-changed";
    for (const char* signal : signals)
        if (signal)
            g_signal_connect(w, signal, G_CALLBACK(on_edit), GINT_TO_POINTER(address));
}

void bind(int address, RegisterKind kind, GType type, const char* widget, const char* label,
          double scale = 0) {
    RegisterEntry& e = kelvra_register[address];
    e.widget[0] = find_widget(widget, type);
    e.kind = kind;
    e.label = label;
    e.scale = scale;
    watch(e.widget[0], address);
}

// Round to nearest, ties to even, and keep the low 16 bits of the 32-bit integer.
uint16_t low_bits(double v) {
    double r = std::nearbyint(v);
    // Beyond a 32-bit integer the conversion would be undefined; such a value has no
    // meaningful low bits, and the hardware conversion gives 0x80000000 for it.
    if (!(r >= -2147483648.0 && r <= 2147483647.0))
        return 0;
    return static_cast<uint16_t>(static_cast<int32_t>(r));
}

// The number a spin button's text stands for, as the button will take it over (on Enter, on
// leaving it): read as the toolkit reads it, brought inside the range, and under the rule of
// its parameter. Text being typed counts at once, without touching the widget.
double spin_value(GtkWidget* w, double off_or_at_least = 0) {
    GtkAdjustment* a = gtk_spin_button_get_adjustment(GTK_SPIN_BUTTON(w));
    double v = g_strtod(gtk_entry_get_text(GTK_ENTRY(w)), nullptr);
    return snap_value(CLAMP(v, a->lower, a->upper), off_or_at_least);
}

// GtkCalendar keeps the selected day when the month changes, so a 31st shown in February
// would make its next day selection fail. The calendar is therefore always given a day that
// its month has; a day that had to be shortened is remembered here and given back once a later
// month or year change makes room for it (a download sets day, month, year in that order).
struct PendingDay {
    GtkCalendar* calendar = nullptr;
    guint wanted = 0; // the day the registers asked for
    guint shown = 0;  // the day the calendar was given instead
};
PendingDay pending;

void calendar_set_day(GtkCalendar* c, guint day) {
    guint year, month, current;
    gtk_calendar_get_date(c, &year, &month, &current);
    pending = {};
    guint last = month_length(month, year);
    if (day > last) {
        pending = {c, day, last};
        day = last;
    }
    gtk_calendar_select_day(c, day);
}

void calendar_show_month(GtkCalendar* c, guint month0, guint year) {
    // The toolkit refuses such a month; refusing it here keeps the date as it was, quietly.
    if (month0 > 11)
        return;
    guint old_year, old_month, current;
    gtk_calendar_get_date(c, &old_year, &old_month, &current);
    guint wanted = current;
    if (pending.calendar == c && pending.shown == current)
        wanted = pending.wanted;
    pending = {};
    guint last = month_length(month0, year);
    // Shorten the day while the old month is shown: it has every day up to the current one.
    if (current > last)
        gtk_calendar_select_day(c, last);
    gtk_calendar_select_month(c, month0, year);
    guint day = wanted > last ? last : wanted;
    if (day != (current > last ? last : current))
        gtk_calendar_select_day(c, day);
    if (wanted > last)
        pending = {c, wanted, last};
}

} // namespace

void init_register_combo_box(int address, const char* widget, const char* label) {
    bind(address, REGISTER_COMBO_BOX, GTK_TYPE_COMBO_BOX, widget, label);
}

void init_register_spin_button(int address, const char* widget, const char* label, double scale) {
    bind(address, REGISTER_SPIN_BUTTON, GTK_TYPE_SPIN_BUTTON, widget, label, scale);
}

void init_register_calendar_day(int address, const char* widget, const char* label) {
    bind(address, REGISTER_CALENDAR_DAY, GTK_TYPE_CALENDAR, widget, label);
}

void init_register_calendar_month(int address, const char* widget, const char* label) {
    bind(address, REGISTER_CALENDAR_MONTH, GTK_TYPE_CALENDAR, widget, label);
}

void init_register_calendar_year(int address, const char* widget, const char* label) {
    bind(address, REGISTER_CALENDAR_YEAR, GTK_TYPE_CALENDAR, widget, label);
}

void init_register_hour_minute(int address, const char* hour_widget, const char* minute_widget,
                               const char* label) {
    bind(address, REGISTER_HOUR_MINUTE, GTK_TYPE_SPIN_BUTTON, hour_widget, label);
    RegisterEntry& e = kelvra_register[address];
    e.widget[1] = find_widget(minute_widget, GTK_TYPE_SPIN_BUTTON);
    // Half a pair cannot be converted.
    if (!e.widget[1])
        e.widget[0] = nullptr;
    else
        watch(e.widget[1], address);
}

void set_sensitive(int sensitive) {
    for (const RegisterEntry& e : kelvra_register)
        for (GtkWidget* w : e.widget) {
            if (!w)
                break;
            gtk_widget_set_sensitive(w, e.enabled && sensitive);
        }
    set_device_commands(sensitive != 0);
}

void blank_registers() {
    for (const RegisterEntry& e : kelvra_register)
        for (GtkWidget* w : e.widget) {
            if (!w)
                break;
            if (GTK_IS_COMBO_BOX(w))
                gtk_combo_box_set_active(GTK_COMBO_BOX(w), -1);
            else if (GTK_IS_SPIN_BUTTON(w))
                gtk_entry_set_text(GTK_ENTRY(w), "");
        }
}

void reset_registers() {
    for (RegisterEntry& e : kelvra_register)
        e.enabled = 0;
    set_sensitive(FALSE);
}

namespace {
bool blank(GtkWidget* w) {
    return w && GTK_IS_SPIN_BUTTON(w) && !*gtk_entry_get_text(GTK_ENTRY(w));
}

// The value a bound widget shows; false for a combo box without a choice or an empty number.
bool widget_value(const RegisterEntry& e, uint16_t* out) {
    GtkWidget* w = e.widget[0];
    // Read as 0 by the spin button, which is exactly the value it must not pretend to hold.
    if (blank(w) || blank(e.widget[1]))
        return false;
    switch (e.kind) {
    case REGISTER_COMBO_BOX: {
        int row = gtk_combo_box_get_active(GTK_COMBO_BOX(w));
        if (row < 0)
            return false;
        *out = static_cast<uint16_t>(row);
        break;
    }
    case REGISTER_SPIN_BUTTON:
        *out = low_bits(spin_value(w, e.off_or_at_least) * e.scale);
        break;
    case REGISTER_CALENDAR_DAY:
    case REGISTER_CALENDAR_MONTH:
    case REGISTER_CALENDAR_YEAR: {
        guint year, month, day;
        gtk_calendar_get_date(GTK_CALENDAR(w), &year, &month, &day);
        if (e.kind == REGISTER_CALENDAR_DAY)
            *out = static_cast<uint16_t>(day);
        else if (e.kind == REGISTER_CALENDAR_MONTH)
            *out = static_cast<uint16_t>(month + 1);
        else
            *out = static_cast<uint16_t>(year - 2000);
        break;
    }
    case REGISTER_HOUR_MINUTE: {
        // Only the low 16 bits of the sum are kept, so those of each part are enough.
        uint32_t h = low_bits(spin_value(w));
        uint32_t m = low_bits(spin_value(e.widget[1]));
        *out = static_cast<uint16_t>(h * 60 + m);
        break;
    }
    default:
        *out = 0;
        break;
    }
    return true;
}
} // namespace

bool register_shown(int address, uint16_t* out) {
    const RegisterEntry& e = kelvra_register[address];
    return !e.widget[0] || widget_value(e, out);
}

namespace {
void store(int address) {
    uint16_t value = 0;
    if (widget_value(kelvra_register[address], &value))
        parameters.set(address, value);
    else
        parameters.forget(address);
}
} // namespace

void store_registers_of(GtkWidget* w) {
    for (int address = 0; address < REGISTER_COUNT; ++address)
        if (kelvra_register[address].widget[0] == w)
            store(address);
}

double snap_value(double v, double minimum) {
    if (minimum <= 0 || v <= 0 || v >= minimum)
        return v;
    return v < 0.15 ? minimum : 0.0;
}

void show_registers(const Block& b) {
    for (int address = b.first; address < b.first + b.count; ++address)
        if (parameters.has(address))
            set_register(address, parameters.value(address));
}

void set_register(int address, uint16_t value) {
    const RegisterEntry& e = kelvra_register[address];
    GtkWidget* w = e.widget[0];
    if (!w)
        return;
    switch (e.kind) {
    case REGISTER_COMBO_BOX:
        gtk_combo_box_set_active(GTK_COMBO_BOX(w), value);
        break;
    case REGISTER_SPIN_BUTTON:
        gtk_spin_button_set_value(GTK_SPIN_BUTTON(w), value / e.scale);
        break;
    case REGISTER_CALENDAR_DAY:
        calendar_set_day(GTK_CALENDAR(w), value);
        break;
    case REGISTER_CALENDAR_MONTH: {
        guint year, month, day;
        gtk_calendar_get_date(GTK_CALENDAR(w), &year, &month, &day);
        calendar_show_month(GTK_CALENDAR(w), static_cast<guint>(value) - 1, year);
        break;
    }
    case REGISTER_CALENDAR_YEAR: {
        guint year, month, day;
        gtk_calendar_get_date(GTK_CALENDAR(w), &year, &month, &day);
        calendar_show_month(GTK_CALENDAR(w), month, value + 2000u);
        break;
    }
    case REGISTER_HOUR_MINUTE:
        gtk_spin_button_set_value(GTK_SPIN_BUTTON(w), value / 60);
        gtk_spin_button_set_value(GTK_SPIN_BUTTON(e.widget[1]), value % 60);
        break;
    default:
        break;
    }
}
