// The real interface files under the parameter maps: every input widget bound to a transferred
// register, combo models and spin ranges that fit a 16-bit register, handlers that resolve,
// and the alternate activation rows.
#include "gui/params.h"
#include "support/window.h"

#include <gmodule.h>
#include <set>
#include <tuple>

namespace {

using test::widget;

class ParameterMap : public test::GuiTest, public ::testing::WithParamInterface<const Variant*> {
  protected:
    void SetUp() override {
        GuiTest::SetUp(); // loading is checked for toolkit warnings too
        test::load_main_window(*GetParam());
        init_registers();
    }
};

bool is_input(GtkWidget* w) {
    return GTK_IS_COMBO_BOX(w) || GTK_IS_SPIN_BUTTON(w) || GTK_IS_CALENDAR(w);
}

TEST_P(ParameterMap, BindsEveryInputWidgetToATransferredRegisterOfFourteenRelays) {
    std::set<int> transferred;
    for (int opt : {0, OPTION_DNP3})
        for (const Block& b : transfer_blocks(*variant, RELAYS_BOUND, opt, true))
            for (int k = 0; k < b.count; ++k)
                transferred.insert(b.first + k);
    std::set<GtkWidget*> bound;
    for (int a = 0; a < REGISTER_COUNT; ++a) {
        const RegisterEntry& e = kelvra_register[a];
        EXPECT_EQ(e.widget[0] != nullptr, transferred.count(a) == 1) << a;
        for (GtkWidget* w : e.widget)
            if (w) {
                bound.insert(w);
                EXPECT_NE(e.label, nullptr) << a;
                EXPECT_EQ(e.enabled, 0) << a;
                EXPECT_FALSE(GTK_WIDGET_SENSITIVE(w)) << a;
            }
    }
    // An input no register binds would show a setting this controller does not have.
    GList* all = glade_xml_get_widget_prefix(glade_xml, "");
    for (GList* l = all; l; l = l->next)
        if (is_input(GTK_WIDGET(l->data))) {
            EXPECT_TRUE(bound.count(GTK_WIDGET(l->data)))
                << gtk_widget_get_name(GTK_WIDGET(l->data));
        }
    g_list_free(all);
    // The window starts disconnected.
    for (const char* name : {"Upload", "Download", "menu_events"})
        EXPECT_FALSE(GTK_WIDGET_SENSITIVE(widget(name))) << name;
    EXPECT_FALSE(gtk_toggle_tool_button_get_active(GTK_TOGGLE_TOOL_BUTTON(widget("Connect"))));
    EXPECT_STREQ(gtk_tool_button_get_stock_id(GTK_TOOL_BUTTON(widget("Connect"))),
                 "gtk-disconnect");
    EXPECT_FALSE(GTK_WIDGET_VISIBLE(widget("events_progress")));
}

TEST_P(ParameterMap, CombosAndSpinButtonsFitTheirRegisters) {
    for (const RegisterEntry& e : kelvra_register) {
        if (e.kind == REGISTER_COMBO_BOX) {
            GtkTreeModel* model = gtk_combo_box_get_model(GTK_COMBO_BOX(e.widget[0]));
            ASSERT_NE(model, nullptr) << e.label;
            int rows = gtk_tree_model_iter_n_children(model, nullptr);
            if (g_str_equal(gtk_widget_get_name(e.widget[0]), "AlternateActivation")) {
                // The program writes these rows into column 0 at connect.
                ASSERT_TRUE(GTK_IS_LIST_STORE(model));
                EXPECT_EQ(gtk_tree_model_get_column_type(model, 0), G_TYPE_STRING);
                EXPECT_EQ(rows, 0);
            } else {
                EXPECT_GE(rows, 2) << e.label;
            }
        }
        if (e.kind != REGISTER_SPIN_BUTTON && e.kind != REGISTER_HOUR_MINUTE)
            continue;
        double scale = e.kind == REGISTER_HOUR_MINUTE ? 1.0 : e.scale;
        for (GtkWidget* w : {e.widget[0], e.widget[1]}) {
            if (!w)
                continue;
            GtkAdjustment* a = gtk_spin_button_get_adjustment(GTK_SPIN_BUTTON(w));
            EXPECT_GE(a->lower, 0.0) << e.label;
            EXPECT_LE(a->upper * scale, 65535.0) << e.label;
            EXPECT_GT(a->upper, a->lower) << e.label;
            // Shown digits match the register's resolution: no fraction is lost or invented.
            EXPECT_EQ(gtk_spin_button_get_digits(GTK_SPIN_BUTTON(w)), scale == 10.0 ? 1u : 0u)
                << e.label;
        }
    }
    // Every relay offers the same choices as relay 1.
    for (const RelayParamDef& r : variant->relay_params)
        for (int n = 1; r.kind == REGISTER_COMBO_BOX && n < RELAYS_BOUND; ++n) {
            auto rows = [&](int k) {
                auto* combo = GTK_COMBO_BOX(kelvra_register[r.base + k].widget[0]);
                return gtk_tree_model_iter_n_children(gtk_combo_box_get_model(combo), nullptr);
            };
            EXPECT_EQ(rows(n), rows(0)) << r.widget_format << " " << n + 1;
        }
    // Ranges that the clock, the MODBUS and DNP3 standards and the tau/m input rules fix.
    const std::tuple<const char*, double, double> fixed[] = {
        {"Hour", 0, 23},
        {"Minute", 0, 59},
        {"Second", 0, 59},
        {"DailyCoolingStartHour", 0, 23},
        {"DailyCoolingStartMinute", 0, 59},
        {"MODBUSAddress", 1, 247},
        {"DNP3Address", 0, 65519},
    };
    for (auto [name, lower, upper] : fixed) {
        GtkAdjustment* a = gtk_spin_button_get_adjustment(GTK_SPIN_BUTTON(widget(name)));
        EXPECT_EQ(a->lower, lower) << name;
        EXPECT_EQ(a->upper, upper) << name;
    }
    for (const char* name : {"tau", "m"})
        if (variant == &variant_full) {
            EXPECT_EQ(gtk_spin_button_get_adjustment(GTK_SPIN_BUTTON(widget(name)))->lower, 0.0);
        }
}

using Connection = std::tuple<std::string, std::string, std::string>; // widget, signal, handler

struct Connections {
    GModule* self = g_module_open(nullptr, static_cast<GModuleFlags>(0));
    std::set<Connection> seen;
    std::vector<std::string> unresolved;
    ~Connections() { g_module_close(self); }
};

void record_connection(const gchar* handler, GObject* object, const gchar* signal, const gchar*,
                       GObject*, gboolean, gpointer data) {
    auto* c = static_cast<Connections*>(data);
    gpointer symbol = nullptr;
    if (!g_module_symbol(c->self, handler, &symbol) || !symbol)
        c->unresolved.push_back(handler);
    std::string dashed = signal;
    std::replace(dashed.begin(), dashed.end(), '_', '-');
    c->seen.insert({gtk_widget_get_name(GTK_WIDGET(object)), dashed, handler});
}

TEST_P(ParameterMap, HandlersResolveAndServeTheirWidgets) {
    Connections c;
    glade_xml_signal_autoconnect_full(glade_xml, record_connection, &c);
    EXPECT_EQ(c.unresolved, std::vector<std::string>{});
    std::set<Connection> expected{
        {"kelvra_main", "delete-event", "on_window_delete_event"},
        {"menu_openconfig", "activate", "on_menu_openconfig_activate"},
        {"menu_saveconfig", "activate", "on_menu_saveconfig_activate"},
        {"menu_events", "activate", "on_menu_saveevents_activate"},
        {"menu_viewevents", "activate", "on_menu_viewevents_activate"},
        {"menu_comparedevice", "activate", "on_menu_comparedevice_activate"},
        {"menu_comparefile", "activate", "on_menu_comparefile_activate"},
        {"menu_quit", "activate", "on_menu_quit_activate"},
        {"menu_about", "activate", "on_menu_about_activate"},
        {"Connect", "toggled", "on_button_connect_toggled"},
        {"Download", "clicked", "on_button_download_clicked"},
        {"Upload", "clicked", "on_button_upload_clicked"},
        {"SetClockNow", "clicked", "on_button_clocknow_clicked"},
    };
    if (variant == &variant_full) {
        expected.insert({"tau", "value-changed", "on_tau_value_changed"});
        expected.insert({"m", "value-changed", "on_m_value_changed"});
    }
    EXPECT_EQ(c.seen, expected);
}

TEST_P(ParameterMap, AlternateActivationRowsFollowTheRelayCount) {
    const std::pair<int, std::vector<std::string>> cases[] = {
        {0, {"Disabled", "Only -3--2", "Only -1-0", "-3--2 and -1-0"}},
        {4, {"Disabled", "Only 1-2", "Only 3-4", "1-2 and 3-4"}},
        {14, {"Disabled", "Only 11-12", "Only 13-14", "11-12 and 13-14"}},
    };
    GtkComboBox* combo = GTK_COMBO_BOX(widget("AlternateActivation"));
    for (const auto& [relays, expected] : cases) {
        gtk_combo_box_set_active(combo, 0);
        init_alternate_activation(relays);
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
        EXPECT_EQ(rows, expected) << relays;
    }
}

INSTANTIATE_TEST_SUITE_P(Variants, ParameterMap, ::testing::Values(&variant_full, &variant_rtd),
                         [](const auto& info) { return std::string(info.param->program); });

} // namespace
