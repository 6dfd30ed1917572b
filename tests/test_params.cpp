// The parameter maps against the real interface files, the alternate activation rows, the
// validation pass and the input rules of tau and m.
#include "registers.h"
#include "support.h"

#include <set>

namespace {

GtkWidget* widget(const char* name) {
    GtkWidget* w = glade_xml_get_widget(glade_xml, name);
    EXPECT_NE(w, nullptr) << name;
    return w;
}

class ParameterMap : public test::GuiTest, public ::testing::WithParamInterface<const Variant*> {
  protected:
    void SetUp() override {
        GuiTest::SetUp();
        test::load_main_window(*GetParam());
        init_registers();
    }
};

TEST_P(ParameterMap, BindsExactlyTheTransferredRegistersOfFourteenRelays) {
    std::set<int> transferred;
    for (int opt : {0, OPTION_DNP3})
        for (const Block& b : transfer_blocks(*variant, RELAYS_BOUND, opt, true))
            for (int k = 0; k < b.count; ++k)
                transferred.insert(b.first + k);
    for (int a = 0; a < REGISTER_COUNT; ++a) {
        const RegisterEntry& e = kelvra_register[a];
        EXPECT_EQ(e.widget[0] != nullptr, transferred.count(a) == 1) << a;
        if (e.widget[0]) {
            EXPECT_NE(e.label, nullptr) << a;
            EXPECT_EQ(e.enabled, 0) << a;
            EXPECT_FALSE(GTK_WIDGET_SENSITIVE(e.widget[0])) << a;
        }
    }
    for (const char* name : {"Upload", "Download", "menu_events"})
        EXPECT_FALSE(GTK_WIDGET_SENSITIVE(widget(name))) << name;
}

TEST_P(ParameterMap, LabelsAreFilledTranslatedFormats) {
    bool full = variant == &variant_full;
    EXPECT_STREQ(kelvra_register[0].label, "Set Point (°C) 1");
    EXPECT_STREQ(kelvra_register[53].label, "Timeout 14");
    EXPECT_STREQ(kelvra_register[full ? 211 : 203].label, "Daily Cooling - Start");
    EXPECT_STREQ(gtk_widget_get_name(kelvra_register[full ? 211 : 203].widget[1]),
                 "DailyCoolingStartMinute");
    EXPECT_STREQ(kelvra_register[405].label, "Year");
    EXPECT_STREQ(kelvra_register[121].label, full ? "Set Point (I%) 2" : nullptr);
}

TEST_P(ParameterMap, AlternateActivationRowsFollowTheRelayCount) {
    struct Case {
        int relays;
        std::vector<std::string> rows;
    } cases[] = {
        {0, {"Disabled", "Only -3--2", "Only -1-0", "-3--2 and -1-0"}},
        {4, {"Disabled", "Only 1-2", "Only 3-4", "1-2 and 3-4"}},
        {14, {"Disabled", "Only 11-12", "Only 13-14", "11-12 and 13-14"}},
    };
    GtkComboBox* combo = GTK_COMBO_BOX(widget("AlternateActivation"));
    for (const Case& c : cases) {
        gtk_combo_box_set_active(combo, 0);
        init_alternate_activation(c.relays);
        EXPECT_EQ(gtk_combo_box_get_active(combo), -1);
        std::vector<std::string> rows;
        GtkTreeModel* model = gtk_combo_box_get_model(combo);
        GtkTreeIter iter;
        for (bool ok = gtk_tree_model_get_iter_first(model, &iter); ok;
             ok = gtk_tree_model_iter_next(model, &iter)) {
            gchar* text = nullptr;
            gtk_tree_model_get(model, &iter, 0, &text, -1);
            rows.emplace_back(text);
            g_free(text);
        }
        EXPECT_EQ(rows, c.rows) << c.relays;
    }
}

INSTANTIATE_TEST_SUITE_P(Variants, ParameterMap, ::testing::Values(&variant_full, &variant_rtd),
                         [](const auto& info) { return std::string(info.param->program); });

class Validation : public test::GuiTest {
  protected:
    void SetUp() override {
        GuiTest::SetUp();
        test::load_main_window(variant_full);
        init_registers();
        nrelays = 2;
        options = 0;
        init_alternate_activation(nrelays);
        // Every combo box of the transfer gets a row.
        for (uint16_t a : validation_order(*variant, nrelays, options))
            if (kelvra_register[a].kind == REGISTER_COMBO_BOX)
                set_register(a, 0);
    }
};

TEST_F(Validation, ReportsOnlyTheFirstParameterWithoutValueInRelayOrder) {
    EXPECT_EQ(check_registers(), 1);
    EXPECT_TRUE(test::standing_dialogs().empty());
    set_register(210, 9);  // Line Frequency
    set_register(61, 99);  // relay 2's associated channel
    set_register(160, 99); // relay 1's associated function: relay 1 is finished first
    validate_registers();
    auto dialogs = test::standing_dialogs();
    ASSERT_EQ(dialogs.size(), 1u);
    EXPECT_EQ(test::dialog_text(dialogs[0]), "Parameter 'Associated Function 1' not defined.");
    test::close_dialogs();
    EXPECT_EQ(check_registers(), 0);
    EXPECT_EQ(test::standing_dialogs().size(), 1u);
}

TEST_F(Validation, TauAndMAreZeroOrAtLeastTheirMinimum) {
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
