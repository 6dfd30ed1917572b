#include "gui/params.h"
#include "support/window.h"

class TimeFields : public test::GuiTest {};

TEST_F(TimeFields, ShowTwoDigitsAndReadBackTheirValue) {
    test::load_main_window(variant_full);
    init_registers();
    set_register(400, 7);
    set_register(211, 2 * 60 + 5); // daily cooling start 02:05
    test::flush_events();
    auto text = [](const char* name) {
        return std::string(gtk_entry_get_text(GTK_ENTRY(glade_xml_get_widget(glade_xml, name))));
    };
    EXPECT_EQ(text("Hour"), "07");
    EXPECT_EQ(text("DailyCoolingStartHour"), "02");
    EXPECT_EQ(text("DailyCoolingStartMinute"), "05");
    uint16_t value = 0;
    ASSERT_TRUE(get_register(211, &value));
    EXPECT_EQ(value, 125);
}
