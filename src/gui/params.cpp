// The parameter maps of the two variants, the activation of what the connected device has,
// the validation pass, and the input rules of tau and m.
#include "gui/params.h"
#include "gui/connection.h"
#include "gui/registers.h"
#include "gui/window.h"
#include "link/serial.h"
#include "model/transfers.h"
#include "text/choices.h"
#include "text/messages.h"

#include <glib/gi18n.h>
#include <string>

namespace {

// The map the table is bound to: its labels are referenced for the life of the program.
std::vector<Parameter> bound_map;

void bind_param(int address, RegisterKind kind, const char* widget, const char* widget2,
                const char* label, double scale) {
    switch (kind) {
    case REGISTER_COMBO_BOX:
        init_register_combo_box(address, widget, label);
        break;
    case REGISTER_SPIN_BUTTON:
        init_register_spin_button(address, widget, label, scale);
        break;
    case REGISTER_CALENDAR_DAY:
        init_register_calendar_day(address, widget, label);
        break;
    case REGISTER_CALENDAR_MONTH:
        init_register_calendar_month(address, widget, label);
        break;
    case REGISTER_CALENDAR_YEAR:
        init_register_calendar_year(address, widget, label);
        break;
    case REGISTER_HOUR_MINUTE:
        init_register_hour_minute(address, widget, widget2, label);
        break;
    case REGISTER_NONE:
        break;
    }
}

// tau and m are either 0 or at least their minimum (snap_value, with the description's
// minimum). The value set re-emits value-changed, and that second run finds nothing to change.
void snap(GtkSpinButton* s) {
    double minimum = 0;
    for (const RegisterEntry& e : kelvra_register)
        if (e.widget[0] == GTK_WIDGET(s))
            minimum = e.off_or_at_least;
    double v = gtk_spin_button_get_value(s);
    if (snap_value(v, minimum) != v)
        gtk_spin_button_set_value(s, snap_value(v, minimum));
}

// Times read as 07:05, not 7:5.
gboolean two_digit_output(GtkSpinButton* s, gpointer) {
    char text[16];
    g_snprintf(text, sizeof text, "%02d", static_cast<int>(gtk_spin_button_get_value(s)));
    if (!g_str_equal(text, gtk_entry_get_text(GTK_ENTRY(s))))
        gtk_entry_set_text(GTK_ENTRY(s), text);
    return TRUE;
}

constexpr const char* TIME_FIELDS[] = {"Hour", "Minute", "Second", "DailyCoolingStartHour",
                                       "DailyCoolingStartMinute"};

} // namespace

void init_registers() {
    for (RegisterEntry& e : kelvra_register)
        e = RegisterEntry{};
    bound_map = parameter_map(*variant);
    for (const Parameter& p : bound_map) {
        bind_param(p.address, p.kind, p.widget.c_str(), p.widget2.c_str(), p.label.c_str(),
                   p.scale);
        kelvra_register[p.address].off_or_at_least = p.def->off_or_at_least;
    }
    for (const char* name : TIME_FIELDS) {
        GtkWidget* w = glade_xml_get_widget(glade_xml, name);
        if (w && GTK_IS_SPIN_BUTTON(w))
            g_signal_connect(w, "output", G_CALLBACK(two_digit_output), nullptr);
    }
    set_sensitive(FALSE);
    blank_registers();
}

void init_alternate_activation(int n) {
    GtkWidget* combo = glade_xml_get_widget(glade_xml, "AlternateActivation");
    if (!combo || !GTK_IS_COMBO_BOX(combo))
        return;
    GtkTreeModel* model = gtk_combo_box_get_model(GTK_COMBO_BOX(combo));
    if (!model || !GTK_IS_LIST_STORE(model))
        return;
    GtkListStore* store = GTK_LIST_STORE(model);
    gtk_list_store_clear(store);
    for (const std::string& text : alternate_activation_choices(n)) {
        GtkTreeIter iter;
        gtk_list_store_append(store, &iter);
        gtk_list_store_set(store, &iter, 0, text.c_str(), -1);
    }
    store_registers_of(combo); // the choice went with the old rows
}

void init_active() {
    int result = read_identification(controller, parameters);
    if (result <= 0) {
        serial_error(result);
        return;
    }
    init_alternate_activation(nrelays);
    for (const Block& b : transfer_blocks(*variant, nrelays, options, true))
        for (int k = 0; k < b.count; ++k)
            kelvra_register[b.first + k].enabled = 1;
    set_sensitive(TRUE);
}

int get_register(int address, uint16_t* out) {
    if (register_shown(address, out))
        return 1;
    report_undefined(address);
    return 0;
}

void report_undefined(int address) {
    const char* label = kelvra_register[address].label;
    error_dialog(undefined_text(label ? label : "").c_str());
}

int check_registers() {
    int missing = first_missing(parameters);
    if (missing < 0)
        return 1;
    report_undefined(missing);
    return 0;
}

void on_tau_value_changed(GtkSpinButton* s, gpointer) {
    snap(s);
}

void on_m_value_changed(GtkSpinButton* s, gpointer) {
    snap(s);
}
