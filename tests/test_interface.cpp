// The interface files of the source tree against what the code relies on: every register
// widget of each parameter map with the class its kind converts, handlers that resolve, the
// commands and status widgets, combo models and spin ranges that fit a 16-bit register.
#include "support.h"

#include <array>
#include <cstdio>
#include <gmodule.h>
#include <memory>
#include <ostream>
#include <set>
#include <string>
#include <tuple>
#include <vector>

namespace {

// Owns a loaded interface and its top-level window.
struct Interface {
    GladeXML* xml;
    std::string top;
    Interface(const char* file, const char* top_name)
        : xml(glade_xml_new(test::source_path(std::string("ui/") + file).c_str(), nullptr,
                            nullptr)),
          top(top_name) {}
    ~Interface() {
        if (!xml)
            return;
        if (GtkWidget* w = get(top))
            gtk_widget_destroy(w);
        g_object_unref(xml);
    }
    Interface(const Interface&) = delete;
    Interface& operator=(const Interface&) = delete;
    GtkWidget* get(const std::string& name) const {
        return glade_xml_get_widget(xml, name.c_str());
    }
};

struct MapWidget {
    std::string name;
    RegisterKind kind;
    double scale;
};

// Every widget name the variant's parameter map binds, relays 1 to 14 included.
std::vector<MapWidget> map_widgets(const Variant& v) {
    std::vector<MapWidget> out;
    auto add = [&](const ParamDef& p) {
        out.push_back({p.widget, p.kind, p.scale});
        if (p.widget2)
            out.push_back({p.widget2, p.kind, p.scale});
    };
    for (const ParamDef& p : v.head_params)
        add(p);
    for (int n = 1; n <= RELAYS_BOUND; ++n)
        for (const RelayParamDef& r : v.relay_params) {
            std::array<char, 64> name{};
            std::snprintf(name.data(), name.size(), r.widget_format, n);
            out.push_back({name.data(), r.kind, r.scale});
        }
    for (const ParamDef& p : tail_params())
        add(p);
    return out;
}

GType class_of(RegisterKind kind) {
    switch (kind) {
    case REGISTER_COMBO_BOX:
        return GTK_TYPE_COMBO_BOX;
    case REGISTER_SPIN_BUTTON:
    case REGISTER_HOUR_MINUTE:
        return GTK_TYPE_SPIN_BUTTON;
    case REGISTER_CALENDAR_DAY:
    case REGISTER_CALENDAR_MONTH:
    case REGISTER_CALENDAR_YEAR:
        return GTK_TYPE_CALENDAR;
    default:
        return G_TYPE_INVALID;
    }
}

std::string dashed(std::string s) {
    for (char& c : s)
        if (c == '_')
            c = '-';
    return s;
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
    c->seen.insert({gtk_widget_get_name(GTK_WIDGET(object)), dashed(signal), handler});
}

struct VariantCase {
    const char* name;
    const Variant* variant;
};
// Names the case in test lists by variant, not by address.
void PrintTo(const VariantCase& c, std::ostream* os) {
    *os << c.name;
}

class InterfaceTest : public test::GuiTest, public ::testing::WithParamInterface<VariantCase> {
  protected:
    const Variant& v = *GetParam().variant;
    std::vector<MapWidget> widgets = map_widgets(v);
    // Loaded after the fixture starts counting toolkit warnings, so loading is checked too.
    std::unique_ptr<Interface> loaded;
    void SetUp() override {
        test::GuiTest::SetUp();
        loaded = std::make_unique<Interface>(v.main_ui, "kelvra_main");
        ASSERT_NE(loaded->xml, nullptr) << v.main_ui;
    }
    void TearDown() override {
        loaded.reset();
        test::GuiTest::TearDown();
    }
    const Interface& ui() const { return *loaded; }
};

TEST_P(InterfaceTest, EveryMapWidgetHasTheClassOfItsKind) {
    std::set<std::string> own;
    for (const MapWidget& m : widgets) {
        own.insert(m.name);
        GtkWidget* w = ui().get(m.name);
        ASSERT_NE(w, nullptr) << m.name;
        EXPECT_TRUE(G_TYPE_CHECK_INSTANCE_TYPE(w, class_of(m.kind)))
            << m.name << " is a " << G_OBJECT_TYPE_NAME(w);
    }
    // The other variant's parameters must not appear: they would show settings the
    // controller does not have.
    const Variant& other = &v == &variant_full ? variant_rtd : variant_full;
    for (const MapWidget& m : map_widgets(other))
        if (!own.count(m.name)) {
            EXPECT_EQ(ui().get(m.name), nullptr) << m.name;
        }
    if (&v == &variant_rtd) {
        EXPECT_EQ(ui().get("SetPoint I 1"), nullptr);
    }
}

TEST_P(InterfaceTest, HandlersResolveAndServeTheirWidgets) {
    Connections c;
    glade_xml_signal_autoconnect_full(ui().xml, record_connection, &c);
    EXPECT_EQ(c.unresolved, std::vector<std::string>{});
    std::set<Connection> expected{
        {"kelvra_main", "delete-event", "on_window_delete_event"},
        {"menu_openconfig", "activate", "on_menu_openconfig_activate"},
        {"menu_saveconfig", "activate", "on_menu_saveconfig_activate"},
        {"menu_events", "activate", "on_menu_saveevents_activate"},
        {"menu_quit", "activate", "on_menu_quit_activate"},
        {"menu_about", "activate", "on_menu_about_activate"},
        {"Connect", "toggled", "on_button_connect_toggled"},
        {"Download", "clicked", "on_button_download_clicked"},
        {"Upload", "clicked", "on_button_upload_clicked"},
    };
    if (&v == &variant_full) {
        expected.insert({"tau", "value-changed", "on_tau_value_changed"});
        expected.insert({"m", "value-changed", "on_m_value_changed"});
    }
    EXPECT_EQ(c.seen, expected);
}

TEST_P(InterfaceTest, CommandsAndStatusWidgets) {
    const std::pair<const char*, GType> named[] = {
        {"kelvra_main", GTK_TYPE_WINDOW},           {"Connect", GTK_TYPE_TOGGLE_TOOL_BUTTON},
        {"Download", GTK_TYPE_TOOL_BUTTON},         {"Upload", GTK_TYPE_TOOL_BUTTON},
        {"menu_openconfig", GTK_TYPE_MENU_ITEM},    {"menu_saveconfig", GTK_TYPE_MENU_ITEM},
        {"menu_events", GTK_TYPE_MENU_ITEM},        {"menu_quit", GTK_TYPE_MENU_ITEM},
        {"menu_about", GTK_TYPE_MENU_ITEM},         {"statusbar", GTK_TYPE_STATUSBAR},
        {"events_progress", GTK_TYPE_PROGRESS_BAR}, {"HMSLabel", GTK_TYPE_LABEL},
    };
    for (const auto& [name, type] : named) {
        GtkWidget* w = ui().get(name);
        ASSERT_NE(w, nullptr) << name;
        EXPECT_TRUE(G_TYPE_CHECK_INSTANCE_TYPE(w, type)) << name;
    }
    EXPECT_STREQ(gtk_label_get_text(GTK_LABEL(ui().get("HMSLabel"))), "00:00:00");
    EXPECT_FALSE(GTK_WIDGET_VISIBLE(ui().get("events_progress")));
    GtkToolButton* connect = GTK_TOOL_BUTTON(ui().get("Connect"));
    EXPECT_FALSE(gtk_toggle_tool_button_get_active(GTK_TOGGLE_TOOL_BUTTON(connect)));
    EXPECT_STREQ(gtk_tool_button_get_stock_id(connect), "gtk-disconnect");
}

TEST_P(InterfaceTest, ComboModelsHaveRowsForRegisterValues) {
    for (const MapWidget& m : widgets) {
        if (m.kind != REGISTER_COMBO_BOX)
            continue;
        GtkTreeModel* model = gtk_combo_box_get_model(GTK_COMBO_BOX(ui().get(m.name)));
        ASSERT_NE(model, nullptr) << m.name;
        int rows = gtk_tree_model_iter_n_children(model, nullptr);
        if (m.name == "AlternateActivation") {
            // The program writes these rows into column 0 at connect.
            ASSERT_TRUE(GTK_IS_LIST_STORE(model));
            ASSERT_GE(gtk_tree_model_get_n_columns(model), 1);
            EXPECT_EQ(gtk_tree_model_get_column_type(model, 0), G_TYPE_STRING);
            EXPECT_EQ(rows, 0);
        } else {
            EXPECT_GE(rows, 2) << m.name;
        }
    }
    // Every relay offers the same choices as relay 1.
    for (const RelayParamDef& r : v.relay_params) {
        if (r.kind != REGISTER_COMBO_BOX)
            continue;
        std::vector<int> counts;
        for (int n = 1; n <= RELAYS_BOUND; ++n) {
            std::array<char, 64> name{};
            std::snprintf(name.data(), name.size(), r.widget_format, n);
            counts.push_back(gtk_tree_model_iter_n_children(
                gtk_combo_box_get_model(GTK_COMBO_BOX(ui().get(name.data()))), nullptr));
        }
        EXPECT_EQ(counts, std::vector<int>(RELAYS_BOUND, counts.front())) << r.widget_format;
    }
}

TEST_P(InterfaceTest, SpinRangesFitTheirRegisters) {
    struct Fixed {
        const char* name;
        double lower, upper;
    };
    // Ranges that the clock, the MODBUS and DNP3 standards and the tau/m input rules fix.
    const Fixed fixed[] = {
        {"Hour", 0, 23},
        {"Minute", 0, 59},
        {"Second", 0, 59},
        {"DailyCoolingStartHour", 0, 23},
        {"DailyCoolingStartMinute", 0, 59},
        {"MODBUSAddress", 1, 247},
        {"DNP3Address", 0, 65519},
    };
    for (const MapWidget& m : widgets) {
        if (class_of(m.kind) != GTK_TYPE_SPIN_BUTTON)
            continue;
        GtkSpinButton* s = GTK_SPIN_BUTTON(ui().get(m.name));
        GtkAdjustment* a = gtk_spin_button_get_adjustment(s);
        double scale = m.kind == REGISTER_HOUR_MINUTE ? 1.0 : m.scale;
        EXPECT_GE(a->lower, 0.0) << m.name;
        EXPECT_LE(a->upper * scale, 65535.0) << m.name;
        EXPECT_GT(a->upper, a->lower) << m.name;
        // Shown digits match the register's resolution: no fraction is lost or invented.
        EXPECT_EQ(gtk_spin_button_get_digits(s), scale == 10.0 ? 1u : 0u) << m.name;
        for (const Fixed& f : fixed)
            if (m.name == f.name) {
                EXPECT_EQ(a->lower, f.lower) << m.name;
                EXPECT_EQ(a->upper, f.upper) << m.name;
            }
        if (m.name == "tau" || m.name == "m") {
            EXPECT_EQ(a->lower, 0.0) << m.name;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Variants, InterfaceTest,
                         ::testing::Values(VariantCase{"Full", &variant_full},
                                           VariantCase{"RtdOnly", &variant_rtd}),
                         [](const auto& info) { return std::string(info.param.name); });

gboolean press_close(gpointer data) {
    GtkDialog* dialog = GTK_DIALOG(data);
    GList* buttons = gtk_container_get_children(GTK_CONTAINER(dialog->action_area));
    GtkWidget* close = nullptr;
    for (GList* l = buttons; l && !close; l = l->next)
        if (GTK_IS_BUTTON(l->data) && GTK_WIDGET_VISIBLE(l->data))
            close = GTK_WIDGET(l->data);
    g_list_free(buttons);
    if (close)
        gtk_button_clicked(GTK_BUTTON(close));
    else
        gtk_dialog_response(dialog, 4711); // no button: end the run so the test can fail
    return FALSE;
}

class AboutTest : public test::GuiTest {};

TEST_F(AboutTest, DialogLoadsAndItsCloseButtonEndsTheRun) {
    Interface about("kelvra_about.glade", "kelvra_about");
    ASSERT_NE(about.xml, nullptr);
    GtkWidget* dialog = about.get("kelvra_about");
    ASSERT_TRUE(dialog && GTK_IS_DIALOG(dialog));
    ASSERT_TRUE(GTK_IS_ABOUT_DIALOG(dialog));
    EXPECT_STREQ(gtk_about_dialog_get_version(GTK_ABOUT_DIALOG(dialog)), "1.0");
    g_idle_add(press_close, dialog);
    int response = gtk_dialog_run(GTK_DIALOG(dialog));
    EXPECT_NE(response, 4711) << "no close button";
    EXPECT_NE(response, GTK_RESPONSE_NONE);
}

} // namespace
