#include "support/window.h"

#include "gui/registers.h"
#include "link/serial.h"

#include <cstdio>
#include <glade/glade.h>

namespace test {
namespace {
int problems = 0;

void log_handler(const gchar* log_domain, GLogLevelFlags level, const gchar* message, gpointer) {
    if (level & (G_LOG_LEVEL_ERROR | G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_WARNING))
        ++problems;
    std::fprintf(stderr, "[%s] %s\n", log_domain ? log_domain : "", message);
}

} // namespace

void load_main_window(const Variant& v) {
    variant = &v;
    glade_xml =
        glade_xml_new(source_path(std::string("ui/") + v.main_ui).c_str(), nullptr, nullptr);
    ASSERT_NE(glade_xml, nullptr);
    glade_xml_signal_autoconnect(glade_xml);
    gtk_widget_show(glade_xml_get_widget(glade_xml, "kelvra_main"));
}

void unload_main_window() {
    if (!glade_xml)
        return;
    close_dialogs();
    gtk_widget_destroy(glade_xml_get_widget(glade_xml, "kelvra_main"));
    g_object_unref(glade_xml);
    glade_xml = nullptr;
    flush_events();
}

void GuiTest::SetUp() {
    ASSERT_NE(gdk_display_get_default(), nullptr) << "no display: run the tests under xvfb-run";
    problems = 0;
}

void GuiTest::TearDown() {
    unload_main_window();
    EXPECT_EQ(problems, 0) << "the toolkit reported warnings or criticals";
}

void choose(const std::function<void()>& open, const std::string& file) {
    EXPECT_EQ(drive::choose(open, file), "");
}

void choose(const char* menu_item, const std::string& file) {
    choose([menu_item] { gtk_menu_item_activate(GTK_MENU_ITEM(widget(menu_item))); }, file);
}

namespace {
void add_rows(GtkTreeModel* model, GtkTreeIter* parent, const std::string& page,
              std::vector<std::string>& out) {
    GtkTreeIter iter;
    for (bool more = gtk_tree_model_iter_children(model, &iter, parent); more;
         more = gtk_tree_model_iter_next(model, &iter)) {
        gchar *name = nullptr, *ours = nullptr, *theirs = nullptr;
        gtk_tree_model_get(model, &iter, 0, &name, 1, &ours, 2, &theirs, -1);
        out.push_back(parent ? page + "|" + name + "|" + ours + "|" + theirs : name);
        if (!parent)
            add_rows(model, &iter, name, out);
        g_free(name);
        g_free(ours);
        g_free(theirs);
    }
}

} // namespace

void respond(const std::function<void()>& act, const char* dialog, int response,
             const std::function<void(GtkWidget*)>& inspect) {
    EXPECT_TRUE(drive::respond(act, dialog, response, inspect)) << "no dialog " << dialog;
}

std::vector<std::string> difference_rows(GtkWidget* dialog) {
    std::vector<std::string> rows;
    GtkWidget* table = find_named_widget(dialog, "compare_table");
    if (table)
        add_rows(gtk_tree_view_get_model(GTK_TREE_VIEW(table)), nullptr, "", rows);
    return rows;
}

} // namespace test

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    test::use_own_home();
    // Listing the tests needs no display. A display that refuses a connection on a loaded host
    // is asked again before giving up; the window tests then fail in their fixture.
    if (getenv("DISPLAY")) {
        for (int attempt = 0; attempt < 5 && !gtk_init_check(nullptr, nullptr); ++attempt)
            g_usleep(200 * 1000);
        g_log_set_default_handler(test::log_handler, nullptr);
    }
    // As the program does: the window stays live while the link waits.
    controller.set_idle(dispatch_pending_events);
    return RUN_ALL_TESTS();
}
