// The register table on the real main window: conversions both ways, sensitivity, reset.
#include "registers.h"
#include "support.h"

namespace {

GtkWidget* widget(const char* name) {
    GtkWidget* w = glade_xml_get_widget(glade_xml, name);
    EXPECT_NE(w, nullptr) << name;
    return w;
}

GtkSpinButton* spin(const char* name) {
    return GTK_SPIN_BUTTON(widget(name));
}

uint16_t get(int address) {
    uint16_t v = 0xBEEF;
    EXPECT_EQ(get_register(address, &v), 1) << address;
    return v;
}

struct Date {
    guint year, month0, day;
    bool operator==(const Date&) const = default;
};

Date shown_date() {
    Date d{};
    gtk_calendar_get_date(GTK_CALENDAR(widget("Date")), &d.year, &d.month0, &d.day);
    return d;
}

void show_date(guint year, guint month0, guint day) {
    GtkCalendar* c = GTK_CALENDAR(widget("Date"));
    gtk_calendar_select_day(c, 1);
    gtk_calendar_select_month(c, month0, year);
    gtk_calendar_select_day(c, day);
}

class RegisterTable : public test::GuiTest {
  protected:
    void SetUp() override {
        GuiTest::SetUp();
        test::load_main_window(variant_full);
        init_registers();
    }
};

TEST_F(RegisterTable, SpinButtonValuesBecomeRoundedLow16Bits) {
    struct Case {
        int address;
        const char* widget;
        double lower, upper;
        guint digits;
        double shown;
        uint16_t expected;
    } cases[] = {
        {40, "Timeout 1", 0, 3600, 1, 1.5, 15},   // scale 10
        {201, "DeltaT1", 0, 100, 1, 2.5, 2},      // ties go to the even integer
        {201, "DeltaT1", 0, 100, 1, 3.5, 4},      //
        {201, "DeltaT1", -10, 100, 0, -1, 65535}, // low 16 bits
        {204, "In1", 0, 50, 1, 49.9, 499},
    };
    for (const Case& c : cases) {
        GtkSpinButton* s = spin(c.widget);
        gtk_spin_button_set_range(s, c.lower, c.upper);
        gtk_spin_button_set_digits(s, c.digits);
        gtk_spin_button_set_value(s, c.shown);
        EXPECT_EQ(get(c.address), c.expected) << c.widget << " showing " << c.shown;
    }
}

TEST_F(RegisterTable, RegisterValuesAreShownUnsignedAndScaled) {
    gtk_spin_button_set_range(spin("Timeout 1"), 0, 10000);
    set_register(40, 65535);
    EXPECT_DOUBLE_EQ(gtk_spin_button_get_value(spin("Timeout 1")), 6553.5);
    set_register(40, 25);
    EXPECT_DOUBLE_EQ(gtk_spin_button_get_value(spin("Timeout 1")), 2.5);
    EXPECT_EQ(get(40), 25);
    set_register(301, 120);
    EXPECT_EQ(get(301), 120);
}

TEST_F(RegisterTable, TypedTextIsTakenOverBeforeReading) {
    gtk_entry_set_text(GTK_ENTRY(widget("Timeout 1")), "12.3");
    EXPECT_EQ(get(40), 123);
    gtk_entry_set_text(GTK_ENTRY(widget("DailyCoolingStartHour")), "7");
    gtk_entry_set_text(GTK_ENTRY(widget("DailyCoolingStartMinute")), "45");
    EXPECT_EQ(get(211), 7 * 60 + 45);
}

TEST_F(RegisterTable, HourMinutePairs) {
    for (auto [value, hours, minutes] : {std::tuple{1439, 23, 59}, {90, 1, 30}, {0, 0, 0}}) {
        set_register(211, static_cast<uint16_t>(value));
        EXPECT_EQ(gtk_spin_button_get_value_as_int(spin("DailyCoolingStartHour")), hours);
        EXPECT_EQ(gtk_spin_button_get_value_as_int(spin("DailyCoolingStartMinute")), minutes);
        EXPECT_EQ(get(211), value);
    }
}

TEST_F(RegisterTable, CalendarPartsInDownloadOrder) {
    struct Case {
        Date before;
        uint16_t day, month, year;
    } cases[] = {
        {{2026, 2, 10}, 15, 7, 26}, // plain
        {{2026, 1, 10}, 31, 1, 26}, // the 31st arrives while February is shown
        {{2026, 0, 31}, 15, 2, 26}, // a shorter month follows a 31st
        {{2026, 0, 29}, 29, 2, 24}, // the 29th of February needs its leap year first
        {{2024, 1, 29}, 30, 4, 25},
    };
    for (const Case& c : cases) {
        show_date(c.before.year, c.before.month0, c.before.day);
        set_register(403, c.day);
        set_register(404, c.month);
        set_register(405, c.year);
        EXPECT_EQ(shown_date(), (Date{2000u + c.year, c.month - 1u, c.day}))
            << c.day << "/" << c.month << "/" << c.year;
        EXPECT_EQ(get(403), c.day);
        EXPECT_EQ(get(404), c.month);
        EXPECT_EQ(get(405), c.year);
    }
}

TEST_F(RegisterTable, CalendarEdges) {
    // A month change that the month's length forces the day down in, then a new day.
    show_date(2026, 0, 31);
    set_register(404, 2);
    EXPECT_EQ(shown_date(), (Date{2026, 1, 28}));
    set_register(403, 10);
    EXPECT_EQ(shown_date(), (Date{2026, 1, 10}));
    // Months the calendar cannot show leave the date as it was.
    set_register(404, 0);
    set_register(404, 13);
    EXPECT_EQ(shown_date(), (Date{2026, 1, 10}));
    // No day selected, and a year before 2000.
    gtk_calendar_select_day(GTK_CALENDAR(widget("Date")), 0);
    EXPECT_EQ(get(403), 0);
    gtk_calendar_select_month(GTK_CALENDAR(widget("Date")), 5, 1999);
    EXPECT_EQ(get(405), 65535);
}

TEST_F(RegisterTable, ComboBoxWithoutSelectionFailsWithItsLabel) {
    set_register(200, 1);
    EXPECT_EQ(get(200), 1);
    set_register(200, 99); // beyond the rows
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
    for (int address : {14, 34, 500, 501, 1023}) {
        EXPECT_EQ(kelvra_register[address].widget[0], nullptr) << address;
        set_register(address, 5);
        EXPECT_EQ(get(address), 0xBEEF) << address;
        kelvra_register[address].enabled = 1;
    }
    set_sensitive(TRUE);
    EXPECT_EQ(test::logged_problems(), 0);
}

TEST_F(RegisterTable, SensitivityFollowsEnabledAndTheCommandsFollowTheArgument) {
    for (int address : {40, 211, 403, 404, 405})
        kelvra_register[address].enabled = 1;
    set_register(40, 77);
    set_sensitive(TRUE);
    for (const char* name : {"Timeout 1", "DailyCoolingStartHour", "DailyCoolingStartMinute",
                             "Date", "Upload", "Download", "menu_events"})
        EXPECT_TRUE(GTK_WIDGET_SENSITIVE(widget(name))) << name;
    for (const char* name : {"Timeout 2", "DeltaT1", "IndicationType"})
        EXPECT_FALSE(GTK_WIDGET_SENSITIVE(widget(name))) << name;

    reset_registers();
    for (const RegisterEntry& e : kelvra_register)
        EXPECT_EQ(e.enabled, 0);
    for (const char* name :
         {"Timeout 1", "DailyCoolingStartMinute", "Date", "Upload", "Download", "menu_events"})
        EXPECT_FALSE(GTK_WIDGET_SENSITIVE(widget(name))) << name;
    EXPECT_EQ(get(40), 77);
}

} // namespace
