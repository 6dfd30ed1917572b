#include "gui/connection.h"

#include "gui/window.h"
#include "text/messages.h"

namespace {
bool own_release = false;

GtkToggleToolButton* connect_button() {
    GtkWidget* w = glade_xml ? glade_xml_get_widget(glade_xml, "Connect") : nullptr;
    return w && GTK_IS_TOGGLE_TOOL_BUTTON(w) ? GTK_TOGGLE_TOOL_BUTTON(w) : nullptr;
}
} // namespace

void release_connect() {
    GtkToggleToolButton* button = connect_button();
    if (!button)
        return;
    bool outer = own_release;
    own_release = true;
    gtk_toggle_tool_button_set_active(button, FALSE);
    own_release = outer;
}

bool releasing_connect() {
    return own_release;
}

void serial_error(int code, const std::string& detail) {
    const char* message = link_failure_text(code);
    if (!message)
        return;
    error_dialog(detail.empty() ? message : (message + ("\n" + detail)).c_str());
    release_connect();
}
