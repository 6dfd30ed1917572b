#include "support/drive.h"

#include "base/gmem.h"
#include "gui/registers.h"
#include "gui/window.h"

#include <glade/glade.h>

namespace drive {
namespace {
void first_label(GtkWidget* w, gpointer data) {
    auto* out = static_cast<std::string*>(data);
    if (!out->empty())
        return;
    if (GTK_IS_LABEL(w))
        *out = gtk_label_get_text(GTK_LABEL(w));
    else if (GTK_IS_CONTAINER(w))
        gtk_container_foreach(GTK_CONTAINER(w), first_label, data);
}

struct ChooserAnswer {
    std::string file;
    std::function<void(GtkWidget*)> accepting;
    GtkFileChooser* chooser = nullptr;
    bool asked = false;
    bool accepted = false;
    int tries = 0;
};

// True once the chooser has read the folder it opens in: a choice made before that races the
// chooser's own background loading.
bool settled(GtkFileChooser* chooser) {
    return GCharPtr(gtk_file_chooser_get_current_folder(chooser)) != nullptr;
}

struct DialogAnswer {
    const char* name;
    int response;
    std::function<void(GtkWidget*)> inspect;
    bool answered = false;
};

gboolean answer_dialog(gpointer data) {
    auto* a = static_cast<DialogAnswer*>(data);
    for (GtkWidget* d : standing_dialogs())
        if (g_str_equal(gtk_widget_get_name(d), a->name)) {
            if (a->inspect)
                a->inspect(d);
            a->answered = true;
            gtk_dialog_response(GTK_DIALOG(d), a->response);
            return FALSE;
        }
    return TRUE;
}

gboolean answer_chooser(gpointer data) {
    auto* a = static_cast<ChooserAnswer*>(data);
    for (GtkWidget* d : a->chooser ? std::vector<GtkWidget*>{} : standing_dialogs())
        if (GTK_IS_FILE_CHOOSER_DIALOG(d))
            a->chooser = GTK_FILE_CHOOSER(d);
    bool waited_enough = ++a->tries > 500;
    if (!a->chooser || (!settled(a->chooser) && !waited_enough))
        return TRUE;
    // Asked again now and then: a chooser still loading the file's folder may drop the request.
    if ((!a->asked || a->tries % 20 == 0) && !a->file.empty()) {
        if (gtk_file_chooser_get_action(a->chooser) == GTK_FILE_CHOOSER_ACTION_SAVE) {
            gtk_file_chooser_set_current_folder(
                a->chooser, GCharPtr(g_path_get_dirname(a->file.c_str())).get());
            gtk_file_chooser_set_current_name(a->chooser,
                                              GCharPtr(g_path_get_basename(a->file.c_str())).get());
        } else {
            gtk_file_chooser_set_filename(a->chooser, a->file.c_str());
        }
    }
    a->asked = true;
    GCharPtr name(gtk_file_chooser_get_filename(a->chooser));
    a->accepted = name && a->file == name.get();
    if (!a->file.empty() && !a->accepted && !waited_enough)
        return TRUE;
    if (a->accepted && a->accepting)
        a->accepting(GTK_WIDGET(a->chooser));
    gtk_dialog_response(GTK_DIALOG(a->chooser),
                        a->accepted ? GTK_RESPONSE_ACCEPT : GTK_RESPONSE_CANCEL);
    return FALSE;
}
} // namespace

GtkWidget* widget(const char* name) {
    return glade_xml_get_widget(glade_xml, name);
}

void click(const char* name) {
    gtk_button_clicked(GTK_BUTTON(gtk_bin_get_child(GTK_BIN(widget(name)))));
}

void flush_events() {
    dispatch_pending_events();
}

std::vector<GtkWidget*> standing_dialogs() {
    std::vector<GtkWidget*> out;
    GList* all = gtk_window_list_toplevels();
    for (GList* l = all; l; l = l->next)
        if (GTK_IS_DIALOG(l->data) && GTK_WIDGET_VISIBLE(GTK_WIDGET(l->data)))
            out.push_back(GTK_WIDGET(l->data));
    g_list_free(all);
    return out;
}

std::string dialog_text(GtkWidget* dialog) {
    std::string text;
    first_label(GTK_DIALOG(dialog)->vbox, &text);
    return text;
}

std::vector<std::string> messages() {
    std::vector<std::string> out;
    for (GtkWidget* d : standing_dialogs())
        out.push_back(dialog_text(d));
    return out;
}

void close_dialogs() {
    for (GtkWidget* d : standing_dialogs())
        gtk_dialog_response(GTK_DIALOG(d), GTK_RESPONSE_NONE);
    flush_events();
    for (GtkWidget* d : standing_dialogs())
        gtk_widget_destroy(d);
    flush_events();
}

std::string status_text() {
    GtkWidget* area = gtk_statusbar_get_message_area(GTK_STATUSBAR(widget("statusbar")));
    GList* children = gtk_container_get_children(GTK_CONTAINER(area));
    std::string text = children && GTK_IS_LABEL(children->data)
                           ? gtk_label_get_text(GTK_LABEL(children->data))
                           : "";
    g_list_free(children);
    return text;
}

std::map<int, uint16_t> register_values(const std::vector<uint16_t>& addresses) {
    std::map<int, uint16_t> out;
    for (uint16_t a : addresses)
        if (uint16_t v = 0; register_shown(a, &v))
            out[a] = v;
    return out;
}

std::string choose(const std::function<void()>& open, const std::string& file,
                   const std::function<void(GtkWidget*)>& accepting) {
    ChooserAnswer answer{file, accepting};
    guint source = g_timeout_add(10, answer_chooser, &answer);
    open();
    if (!answer.chooser) { // the answer must not outlive this frame
        g_source_remove(source);
        return "no chooser was shown";
    }
    return answer.accepted || file.empty() ? "" : "the chooser never took " + file;
}

bool respond(const std::function<void()>& act, const char* dialog, int response,
             const std::function<void(GtkWidget*)>& inspect) {
    DialogAnswer answer{dialog, response, inspect};
    guint source = g_timeout_add(10, answer_dialog, &answer);
    act();
    if (!answer.answered) // the answer must not outlive this frame
        g_source_remove(source);
    return answer.answered;
}

} // namespace drive
