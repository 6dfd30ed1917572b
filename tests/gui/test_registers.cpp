// The register table on the real main window: conversions both ways, registers without a value
// or a widget, and the input rules of tau and m.
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

// What a spin button shows, set after a 0, and the register it gives: rounded, ties to even,
// and tau and m 0 or at least their minimum. The range and digits are widened where the
// interface file's would hide the case.
TEST_F(RegisterTable, SpinButtonsAndTwoDigitTimes) {
    const struct {
        int address;
        const char* widget;
        double shown;
        uint16_t reg;
    } cases[] = {
        {40, "Timeout 1", 1.5, 15},  {201, "DeltaT1", 2.5, 2}, {201, "DeltaT1", 3.5, 4},
        {201, "DeltaT1", -1, 65535}, {208, "tau", 12.3, 123},  {208, "tau", 0.14, 30},
        {208, "tau", 0.15, 0},       {208, "tau", 2.9, 0},     {208, "tau", 3.0, 30},
        {208, "tau", 3.1, 31},       {209, "m", 0.14, 5},      {209, "m", 0.15, 0},
        {209, "m", 0.4, 0},          {209, "m", 0.5, 5},       {209, "m", 0.6, 6},
    };
    for (const auto& c : cases) {
        gtk_spin_button_set_range(spin(c.widget), -10, 100);
        gtk_spin_button_set_digits(spin(c.widget), 1);
        gtk_spin_button_set_value(spin(c.widget), 0);
        gtk_spin_button_set_value(spin(c.widget), c.shown);
        EXPECT_EQ(get(c.address), c.reg) << c.widget << " showing " << c.shown;
    }
    gtk_spin_button_set_range(spin("Timeout 1"), 0, 10000);
    set_register(40, 65535);
    EXPECT_DOUBLE_EQ(gtk_spin_button_get_value(spin("Timeout 1")), 6553.5);
    // Typed text that was never confirmed counts.
    gtk_entry_set_text(GTK_ENTRY(spin("Timeout 1")), "12.3");
    EXPECT_EQ(get(40), 123);
    gtk_entry_set_text(GTK_ENTRY(spin("tau")), "1.0"); // through the rule first
    EXPECT_EQ(get(208), 0);
    // Times read 07:05, not 7:5, and 21:05, not 09:05.
    set_register(400, 7);
    set_register(211, 21 * 60 + 5);
    for (auto [name, text] : {std::pair{"Hour", "07"},
                              {"DailyCoolingStartHour", "21"},
                              {"DailyCoolingStartMinute", "05"}})
        EXPECT_STREQ(gtk_entry_get_text(GTK_ENTRY(widget(name))), text) << name;
    EXPECT_EQ(get(211), 21 * 60 + 5);
    gtk_entry_set_text(GTK_ENTRY(spin("DailyCoolingStartHour")), "7");
    gtk_entry_set_text(GTK_ENTRY(spin("DailyCoolingStartMinute")), "45");
    EXPECT_EQ(get(211), 7 * 60 + 45);
}

TEST_F(RegisterTable, CalendarPartsSetInDownloadOrder) {
    GtkCalendar* date = GTK_CALENDAR(widget("Date"));
    // Shown, as the toolkit checks selected days only on a calendar it draws.
    GtkNotebook* book = GTK_NOTEBOOK(gtk_widget_get_ancestor(widget("Date"), GTK_TYPE_NOTEBOOK));
    for (int n = 0; n < gtk_notebook_get_n_pages(book); ++n)
        if (gtk_widget_is_ancestor(widget("Date"), gtk_notebook_get_nth_page(book, n)))
            gtk_notebook_set_current_page(book, n);
    test::flush_events();
    ASSERT_TRUE(gtk_widget_is_drawable(widget("Date")));
    // The calendar shows year/month0/day before; then day, month and year are set.
    const guint cases[][6] = {
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

// Nothing shown before a Download or Open: no zeros that look like a controller's values. A
// register without a widget (relay 15, a missing name, a widget of the wrong class) is absent.
TEST_F(RegisterTable, RegistersWithoutValueOrWidget) {
    std::vector<uint16_t> all;
    for (const Parameter& p : parameter_map(variant_full))
        if (p.kind != REGISTER_CALENDAR_DAY && p.kind != REGISTER_CALENDAR_MONTH &&
            p.kind != REGISTER_CALENDAR_YEAR)
            all.push_back(static_cast<uint16_t>(p.address));
    EXPECT_EQ(test::register_values(all), (std::map<int, uint16_t>{}));
    set_register(40, 0);
    EXPECT_STREQ(gtk_entry_get_text(GTK_ENTRY(widget("Timeout 1"))), "0.0");

    set_register(200, 1);
    set_register(200, 99); // a choice the combo does not have replaces the one before
    uint16_t v = 7;
    EXPECT_EQ(get_register(200, &v), 0);
    EXPECT_EQ(v, 7);
    EXPECT_EQ(test::messages(),
              std::vector<std::string>{"Parameter 'Indication Type' not defined."});

    init_register_spin_button(500, "NoSuchWidget", "x", 1.0);
    init_register_combo_box(501, "DeltaT1", "y");
    for (int address : {14, 34, 500, 501}) {
        set_register(address, 5);
        EXPECT_EQ(get(address), 0xBEEF) << address;
        kelvra_register[address].enabled = 1;
    }
    set_sensitive(TRUE);
}

} // namespace
