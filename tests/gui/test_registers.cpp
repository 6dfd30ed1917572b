// The register table on the real main window: conversions both ways, unbound entries, and the
// input rules of tau and m.
#include "gui/params.h"
#include "model/parameters.h"
#include "support/window.h"

namespace {

using test::widget;

GtkSpinButton* spin(const char* name) {
    return GTK_SPIN_BUTTON(widget(name));
}

uint16_t get(int address) {
    uint16_t v = 0xBEEF;
    EXPECT_EQ(get_register(address, &v), 1) << address;
    return v;
}

class RegisterTable : public test::GuiTest {
  protected:
    void SetUp() override {
        GuiTest::SetUp();
        test::load_main_window(variant_full);
        init_registers();
    }
};

TEST_F(RegisterTable, SpinButtonsAndHourMinutePairs) {
    // Digits and ranges are widened where the interface file's would hide the case.
    struct Case {
        int address;
        const char* widget;
        double lower;
        guint digits;
        double shown;
        uint16_t reg;
    } cases[] = {
        {40, "Timeout 1", 0, 1, 1.5, 15}, {201, "DeltaT1", 0, 1, 2.5, 2}, // ties to even
        {201, "DeltaT1", 0, 1, 3.5, 4},   {201, "DeltaT1", -10, 0, -1, 65535},
        {208, "tau", 0, 1, 12.3, 123},
    };
    for (const Case& c : cases) {
        gtk_spin_button_set_range(spin(c.widget), c.lower, 100);
        gtk_spin_button_set_digits(spin(c.widget), c.digits);
        gtk_spin_button_set_value(spin(c.widget), c.shown);
        EXPECT_EQ(get(c.address), c.reg) << c.widget << " showing " << c.shown;
    }
    gtk_spin_button_set_range(spin("Timeout 1"), 0, 10000);
    set_register(40, 65535);
    EXPECT_DOUBLE_EQ(gtk_spin_button_get_value(spin("Timeout 1")), 6553.5);
    // Typed text that was never confirmed counts.
    gtk_entry_set_text(GTK_ENTRY(spin("Timeout 1")), "12.3");
    EXPECT_EQ(get(40), 123);
    for (int value : {1439, 90}) {
        set_register(211, static_cast<uint16_t>(value));
        EXPECT_EQ(gtk_spin_button_get_value_as_int(spin("DailyCoolingStartHour")), value / 60);
        EXPECT_EQ(gtk_spin_button_get_value_as_int(spin("DailyCoolingStartMinute")), value % 60);
        EXPECT_EQ(get(211), value);
    }
    gtk_entry_set_text(GTK_ENTRY(spin("DailyCoolingStartHour")), "7");
    gtk_entry_set_text(GTK_ENTRY(spin("DailyCoolingStartMinute")), "45");
    EXPECT_EQ(get(211), 7 * 60 + 45);
}

TEST_F(RegisterTable, CalendarPartsSetInDownloadOrder) {
    GtkCalendar* date = GTK_CALENDAR(widget("Date"));
    // Shown, as the toolkit checks selected days only on a calendar it draws.
    GtkWidget* page = widget("Date");
    while (!GTK_IS_NOTEBOOK(gtk_widget_get_parent(page)))
        page = gtk_widget_get_parent(page);
    GtkNotebook* notebook = GTK_NOTEBOOK(gtk_widget_get_parent(page));
    gtk_notebook_set_current_page(notebook, gtk_notebook_page_num(notebook, page));
    test::flush_events();
    ASSERT_TRUE(gtk_widget_is_drawable(widget("Date")));
    // The calendar shows year/month0/day before; then day, month and year are set.
    guint cases[][6] = {
        {2026, 2, 10, 15, 7, 26}, {2026, 1, 10, 31, 1, 26}, // the 31st while February shows
        {2026, 0, 31, 15, 2, 26}, {2026, 0, 29, 29, 2, 24}, // February 29th needs its year
        {2024, 1, 29, 30, 4, 25},
    };
    for (auto [year, month0, day, d, m, y] : cases) {
        gtk_calendar_select_day(date, 1);
        gtk_calendar_select_month(date, month0, year);
        gtk_calendar_select_day(date, day);
        for (auto [address, value] : {std::pair{403, d}, {404, m}, {405, y}})
            set_register(address, static_cast<uint16_t>(value));
        guint shown[3];
        gtk_calendar_get_date(date, &shown[0], &shown[1], &shown[2]);
        EXPECT_EQ((std::vector<guint>{shown[0], shown[1] + 1, shown[2]}),
                  (std::vector<guint>{2000 + y, m, d}));
        EXPECT_EQ((std::vector<int>{get(403), get(404), get(405)}),
                  (std::vector<int>{int(d), int(m), int(y)}));
    }
    // A shorter month after a 31st shortens the day, and a day can still be chosen.
    gtk_calendar_select_month(date, 0, 2026);
    gtk_calendar_select_day(date, 31);
    set_register(404, 2);
    EXPECT_EQ(get(403), 28);
    set_register(403, 10);
    EXPECT_EQ(get(403), 10);
    // A month that cannot be shown leaves the date; no day selected; a year before 2000.
    set_register(404, 0);
    set_register(404, 13);
    EXPECT_EQ(get(404), 2);
    gtk_calendar_select_day(date, 0);
    gtk_calendar_select_month(date, 5, 1999);
    EXPECT_EQ(get(403), 0);
    EXPECT_EQ(get(405), 65535);
}

// Nothing shown before a Download or Open: no zeros that look like a controller's values.
TEST_F(RegisterTable, EmptyFieldsAndImpossibleChoicesHaveNoValue) {
    std::vector<uint16_t> all;
    for (const Parameter& p : parameter_map(variant_full))
        if (p.kind != REGISTER_CALENDAR_DAY && p.kind != REGISTER_CALENDAR_MONTH &&
            p.kind != REGISTER_CALENDAR_YEAR)
            all.push_back(static_cast<uint16_t>(p.address));
    EXPECT_EQ(test::register_values(all), (std::map<int, uint16_t>{}));
    EXPECT_STREQ(gtk_entry_get_text(GTK_ENTRY(widget("Timeout 1"))), "");
    set_register(40, 0);
    EXPECT_STREQ(gtk_entry_get_text(GTK_ENTRY(widget("Timeout 1"))), "0.0");
    EXPECT_EQ(get(40), 0);

    set_register(200, 1);
    EXPECT_EQ(get(200), 1);
    set_register(200, 99);
    uint16_t v = 7;
    EXPECT_EQ(get_register(200, &v), 0);
    EXPECT_EQ(v, 7);
    auto dialogs = test::standing_dialogs();
    ASSERT_EQ(dialogs.size(), 1u);
    EXPECT_EQ(test::dialog_text(dialogs[0]), "Parameter 'Indication Type' not defined.");
}

TEST_F(RegisterTable, UnboundEntriesAreAbsent) {
    // Relay 15 has no widget; a missing name or a widget of the wrong class binds nothing.
    init_register_spin_button(500, "NoSuchWidget", "x", 1.0);
    init_register_combo_box(501, "DeltaT1", "y");
    for (int address : {14, 34, 500, 501}) {
        set_register(address, 5);
        EXPECT_EQ(get(address), 0xBEEF) << address;
        kelvra_register[address].enabled = 1;
    }
    set_sensitive(TRUE);
}

TEST_F(RegisterTable, TauAndMAreZeroOrAtLeastTheirMinimum) {
    GtkSpinButton* tau = GTK_SPIN_BUTTON(widget("tau"));
    GtkSpinButton* m = GTK_SPIN_BUTTON(widget("m"));
    struct Case {
        GtkSpinButton* s;
        double from;
        GtkSpinType step;
        double to;
    } steps[] = {
        {tau, 0, GTK_SPIN_STEP_FORWARD, 3.0},   {tau, 3.0, GTK_SPIN_STEP_BACKWARD, 0},
        {tau, 3.0, GTK_SPIN_STEP_FORWARD, 3.1}, {m, 0, GTK_SPIN_STEP_FORWARD, 0.5},
        {m, 0.5, GTK_SPIN_STEP_BACKWARD, 0},    {m, 0.5, GTK_SPIN_STEP_FORWARD, 0.6},
    };
    for (const Case& c : steps) {
        gtk_spin_button_set_value(c.s, c.from);
        gtk_spin_button_spin(c.s, c.step, 0.1);
        EXPECT_DOUBLE_EQ(gtk_spin_button_get_value(c.s), c.to)
            << gtk_widget_get_name(GTK_WIDGET(c.s)) << " from " << c.from;
    }
    struct Set {
        GtkSpinButton* s;
        double value, shown;
    } sets[] = {{tau, 0.14, 3.0}, {tau, 0.15, 0}, {tau, 2.9, 0}, {tau, 3.0, 3.0},
                {m, 0.14, 0.5},   {m, 0.15, 0},   {m, 0.4, 0},   {m, 0.5, 0.5}};
    for (const Set& c : sets) {
        gtk_spin_button_set_value(c.s, 0);
        gtk_spin_button_set_value(c.s, c.value);
        EXPECT_DOUBLE_EQ(gtk_spin_button_get_value(c.s), c.shown)
            << gtk_widget_get_name(GTK_WIDGET(c.s)) << " set to " << c.value;
    }
    // Typed text goes through the rule before the register is read.
    gtk_entry_set_text(GTK_ENTRY(tau), "1.0");
    uint16_t v = 99;
    EXPECT_EQ(get_register(208, &v), 1);
    EXPECT_EQ(v, 0);
}

} // namespace
