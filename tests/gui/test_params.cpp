// The real interface files under the parameter maps: every input widget bound to a transferred
// register, combo models and spin ranges that fit a 16-bit register, and the alternate
// activation rows.
#include "gui/params.h"
#include "support/window.h"

#include <set>

namespace {

using Lines = std::vector<std::string>;
using test::widget;

class ParameterMap : public test::GuiTest, public ::testing::WithParamInterface<const Variant*> {
  protected:
    void SetUp() override {
        GuiTest::SetUp(); // loading is checked for toolkit warnings too
        test::load_main_window(*GetParam());
        init_registers();
    }
};

// Every input widget is bound, for fourteen relays and either port, and insensitive until a
// Connect; spin ranges and shown digits fit the register, combos offer choices, the same for
// every relay (the alternate activation's are written at connect).
TEST_P(ParameterMap, WidgetsFitTheRegistersTheyAreBoundTo) {
    std::set<int> transferred;
    for (int opt : {0, OPTION_DNP3})
        for (const Block& b : transfer_blocks(*variant, RELAYS_BOUND, opt, true))
            for (int k = 0; k < b.count; ++k)
                transferred.insert(b.first + k);
    std::set<GtkWidget*> bound;
    for (int a = 0; a < REGISTER_COUNT; ++a) {
        const RegisterEntry& e = kelvra_register[a];
        EXPECT_EQ(e.widget[0] != nullptr, transferred.count(a) == 1) << a;
        for (GtkWidget* w : e.widget) {
            if (!w)
                continue;
            bound.insert(w);
            EXPECT_NE(e.label, nullptr) << a;
            EXPECT_EQ(e.enabled, 0) << a;
            EXPECT_FALSE(GTK_WIDGET_SENSITIVE(w)) << a;
            if (e.kind == REGISTER_COMBO_BOX) {
                bool alternate = g_str_equal(gtk_widget_get_name(w), "AlternateActivation");
                EXPECT_EQ(combo_rows(w).size() >= 2, !alternate) << e.label;
            } else if (e.kind == REGISTER_SPIN_BUTTON || e.kind == REGISTER_HOUR_MINUTE) {
                double scale = e.kind == REGISTER_HOUR_MINUTE ? 1.0 : e.scale;
                GtkAdjustment* adj = gtk_spin_button_get_adjustment(GTK_SPIN_BUTTON(w));
                EXPECT_TRUE(adj->lower >= 0 && adj->upper > adj->lower &&
                            adj->upper * scale <= 65535)
                    << e.label << " " << adj->lower << ".." << adj->upper;
                // No fraction is lost or invented.
                EXPECT_EQ(gtk_spin_button_get_digits(GTK_SPIN_BUTTON(w)), scale == 10.0 ? 1u : 0u)
                    << e.label;
            }
        }
    }
    // Every range and every row list is the description's, so the window and the model's checks
    // agree on what a controller accepts.
    for (const Parameter& p : parameter_map(*variant)) {
        GtkWidget* w = kelvra_register[p.address].widget[0];
        if (p.kind == REGISTER_SPIN_BUTTON) {
            GtkAdjustment* a = gtk_spin_button_get_adjustment(GTK_SPIN_BUTTON(w));
            EXPECT_EQ(std::pair(a->lower, a->upper), std::pair(p.def->minimum, p.def->maximum))
                << p.id;
        } else if (p.kind == REGISTER_COMBO_BOX && p.id != "alternate_activation") {
            Lines rows;
            for (const Choice& c : choice_list(p.def->choices))
                rows.push_back(c.label);
            EXPECT_EQ(combo_rows(w), rows) << p.id;
        }
    }
    // An input no register binds would show a setting this controller does not have.
    GList* all = glade_xml_get_widget_prefix(glade_xml, "");
    for (GList* l = all; l; l = l->next) {
        GtkWidget* w = GTK_WIDGET(l->data);
        bool input = GTK_IS_COMBO_BOX(w) || GTK_IS_SPIN_BUTTON(w) || GTK_IS_CALENDAR(w);
        EXPECT_TRUE(!input || bound.count(w)) << gtk_widget_get_name(w);
    }
    g_list_free(all);
    // Ranges that the clock and the MODBUS and DNP3 standards fix; tau and m go up from 0.
    auto range = [](const char* name) {
        GtkAdjustment* a = gtk_spin_button_get_adjustment(GTK_SPIN_BUTTON(widget(name)));
        return std::pair(a->lower, a->upper);
    };
    for (const char* name : {"Hour", "DailyCoolingStartHour"})
        EXPECT_EQ(range(name), std::pair(0.0, 23.0)) << name;
    for (const char* name : {"Minute", "Second", "DailyCoolingStartMinute"})
        EXPECT_EQ(range(name), std::pair(0.0, 59.0)) << name;
    EXPECT_EQ(range("MODBUSAddress"), std::pair(1.0, 247.0));
    EXPECT_EQ(range("DNP3Address"), std::pair(0.0, 65519.0));
    // The window starts disconnected.
    EXPECT_STREQ(gtk_tool_button_get_stock_id(GTK_TOOL_BUTTON(widget("Connect"))),
                 "gtk-disconnect");
    EXPECT_FALSE(GTK_WIDGET_VISIBLE(widget("events_progress")));
    // The other commands are reached through their widgets by the tests of what they do.
    EXPECT_NE(g_signal_handler_find(widget("menu_about"), G_SIGNAL_MATCH_FUNC, 0, 0, nullptr,
                                    reinterpret_cast<gpointer>(on_menu_about_activate), nullptr),
              0u);

    // The alternate activation's rows, written at connect, pair the device's last relays.
    const std::pair<int, Lines> cases[] = {
        {0, {"Disabled", "Only -3--2", "Only -1-0", "-3--2 and -1-0"}},
        {4, {"Disabled", "Only 1-2", "Only 3-4", "1-2 and 3-4"}},
        {14, {"Disabled", "Only 11-12", "Only 13-14", "11-12 and 13-14"}},
    };
    GtkWidget* combo = widget("AlternateActivation");
    for (const auto& [relays, expected] : cases) {
        gtk_combo_box_set_active(GTK_COMBO_BOX(combo), 0);
        init_alternate_activation(relays);
        EXPECT_EQ(gtk_combo_box_get_active(GTK_COMBO_BOX(combo)), -1);
        EXPECT_EQ(combo_rows(combo), expected) << relays;
    }
}

INSTANTIATE_TEST_SUITE_P(Variants, ParameterMap, ::testing::Values(&variant_full, &variant_rtd),
                         [](const auto& info) { return std::string(info.param->program); });

} // namespace
