#include "gui/window.h"
#include "base/gmem.h"

#include <glib/gi18n.h>
#include <string>

GladeXML* glade_xml = nullptr;

namespace {
// Where the last chosen file was, for the next chooser of this session.
std::string last_chooser_folder;

// The folder a chooser opens in: the last one used, else Documents, else home. GTK would
// otherwise open on "Recently Used" or the working folder, neither of which is where an
// engineer keeps configurations.
std::string starting_folder() {
    if (!last_chooser_folder.empty() &&
        g_file_test(last_chooser_folder.c_str(), G_FILE_TEST_IS_DIR))
        return last_chooser_folder;
    const char* documents = g_get_user_special_dir(G_USER_DIRECTORY_DOCUMENTS);
    if (documents && g_file_test(documents, G_FILE_TEST_IS_DIR))
        return documents;
    return g_get_home_dir();
}
} // namespace

void dispatch_pending_events() {
    if (!gdk_display_get_default())
        return;
    while (gtk_events_pending())
        gtk_main_iteration_do(FALSE);
}

GtkWidget* find_named_widget(GtkWidget* root, const char* name) {
    if (g_str_equal(gtk_widget_get_name(root), name))
        return root;
    GtkWidget* found = nullptr;
    if (GTK_IS_CONTAINER(root)) {
        GList* children = gtk_container_get_children(GTK_CONTAINER(root));
        for (GList* l = children; l && !found; l = l->next)
            found = find_named_widget(GTK_WIDGET(l->data), name);
        g_list_free(children);
    }
    return found;
}

void show_status(const char* text) {
    GtkWidget* w = glade_xml ? glade_xml_get_widget(glade_xml, "statusbar") : nullptr;
    if (!w || !GTK_IS_STATUSBAR(w))
        return;
    GtkStatusbar* bar = GTK_STATUSBAR(w);
    guint context = gtk_statusbar_get_context_id(bar, "connection");
    // What the event commands said (context 0) belongs to the connection too.
    gtk_statusbar_remove_all(bar, 0);
    gtk_statusbar_remove_all(bar, context);
    if (text)
        gtk_statusbar_push(bar, context, text);
}

GtkWindow* main_window() {
    GtkWidget* w = glade_xml ? glade_xml_get_widget(glade_xml, "kelvra_main") : nullptr;
    return w ? GTK_WINDOW(w) : nullptr;
}

gchar* run_file_chooser(GtkWidget* chooser) {
    if (gtk_dialog_run(GTK_DIALOG(chooser)) != GTK_RESPONSE_ACCEPT)
        return nullptr;
    gchar* name = gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(chooser));
    if (name) {
        GCharPtr folder(g_path_get_dirname(name));
        last_chooser_folder = folder.get();
    }
    return name;
}

GtkWidget* new_file_chooser(const char* title, GtkWindow* parent, GtkFileChooserAction action,
                            const char* pattern, const char* name) {
    bool save = action == GTK_FILE_CHOOSER_ACTION_SAVE;
    GtkWidget* chooser = gtk_file_chooser_dialog_new(
        title, parent ? parent : main_window(), action, GTK_STOCK_CANCEL, GTK_RESPONSE_CANCEL,
        save ? GTK_STOCK_SAVE : GTK_STOCK_OPEN, GTK_RESPONSE_ACCEPT, nullptr);
    GtkFileFilter* filter = gtk_file_filter_new();
    gtk_file_filter_add_pattern(filter, pattern);
    gtk_file_chooser_set_filter(GTK_FILE_CHOOSER(chooser), filter);
    gtk_file_chooser_set_current_folder(GTK_FILE_CHOOSER(chooser), starting_folder().c_str());
    if (save) {
        gtk_file_chooser_set_do_overwrite_confirmation(GTK_FILE_CHOOSER(chooser), TRUE);
        gtk_file_chooser_set_current_name(GTK_FILE_CHOOSER(chooser), name);
    }
    return chooser;
}

void error_dialog(const char* text) {
    GtkWidget* dialog = gtk_dialog_new_with_buttons(
        _("Error"), main_window(),
        static_cast<GtkDialogFlags>(GTK_DIALOG_MODAL | GTK_DIALOG_DESTROY_WITH_PARENT),
        GTK_STOCK_OK, GTK_RESPONSE_NONE, nullptr);
    gtk_window_set_position(GTK_WINDOW(dialog), GTK_WIN_POS_CENTER_ON_PARENT);
    GtkWidget* label = gtk_label_new(text);
    gtk_misc_set_padding(GTK_MISC(label), 25, 25);
    gtk_container_add(GTK_CONTAINER(GTK_DIALOG(dialog)->vbox), label);
    g_signal_connect_swapped(dialog, "response", G_CALLBACK(gtk_widget_destroy), dialog);
    gtk_widget_show_all(dialog);
}

std::vector<std::string> combo_rows(GtkWidget* w) {
    std::vector<std::string> rows;
    GtkTreeModel* model =
        w && GTK_IS_COMBO_BOX(w) ? gtk_combo_box_get_model(GTK_COMBO_BOX(w)) : nullptr;
    GtkTreeIter iter;
    for (bool more = model && gtk_tree_model_get_iter_first(model, &iter); more;
         more = gtk_tree_model_iter_next(model, &iter)) {
        gchar* text = nullptr;
        gtk_tree_model_get(model, &iter, 0, &text, -1);
        rows.emplace_back(text ? text : "");
        g_free(text);
    }
    return rows;
}
