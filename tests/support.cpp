#include "support.h"

#include <cstdio>
#include <cstring>
#include <glade/glade.h>

namespace test {
namespace {
int problems = 0;

void log_handler(const gchar* log_domain, GLogLevelFlags level, const gchar* message, gpointer) {
    if (level & (G_LOG_LEVEL_ERROR | G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_WARNING))
        ++problems;
    std::fprintf(stderr, "[%s] %s\n", log_domain ? log_domain : "", message);
}

void collect_labels(GtkWidget* w, gpointer data) {
    auto* out = static_cast<std::string*>(data);
    if (!out->empty())
        return;
    if (GTK_IS_LABEL(w))
        *out = gtk_label_get_text(GTK_LABEL(w));
    else if (GTK_IS_CONTAINER(w))
        gtk_container_foreach(GTK_CONTAINER(w), collect_labels, data);
}
} // namespace

std::string source_path(const std::string& relative) {
    return std::string(KELVRA_SOURCE_DIR) + "/" + relative;
}
std::string binary_path(const std::string& relative) {
    return std::string(KELVRA_BINARY_DIR) + "/" + relative;
}

int logged_problems() {
    return problems;
}
void reset_logged_problems() {
    problems = 0;
}

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

void flush_events() {
    while (gtk_events_pending())
        gtk_main_iteration_do(FALSE);
}

std::vector<GtkWidget*> standing_dialogs() {
    std::vector<GtkWidget*> out;
    GList* all = gtk_window_list_toplevels();
    for (GList* l = all; l; l = l->next) {
        GtkWidget* w = GTK_WIDGET(l->data);
        if (GTK_IS_DIALOG(w) && GTK_WIDGET_VISIBLE(w))
            out.push_back(w);
    }
    g_list_free(all);
    return out;
}

std::string dialog_text(GtkWidget* dialog) {
    std::string text;
    collect_labels(GTK_DIALOG(dialog)->vbox, &text);
    return text;
}

void close_dialogs() {
    for (GtkWidget* d : standing_dialogs())
        gtk_dialog_response(GTK_DIALOG(d), GTK_RESPONSE_NONE);
    flush_events();
    for (GtkWidget* d : standing_dialogs())
        gtk_widget_destroy(d);
    flush_events();
}

void GuiTest::SetUp() {
    reset_logged_problems();
}

void GuiTest::TearDown() {
    unload_main_window();
    EXPECT_EQ(logged_problems(), 0) << "the toolkit reported warnings or criticals";
}

} // namespace test

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    // Listing the tests needs no display.
    if (getenv("DISPLAY")) {
        gtk_init(nullptr, nullptr);
        g_log_set_default_handler(test::log_handler, nullptr);
    }
    return RUN_ALL_TESTS();
}
