#include "text/messages.h"
#include "base/gmem.h"

#include <glib/gi18n.h>

const char* link_failure_text(int code) {
    switch (code) {
    case 0:
        return _("Communication error -- check your USB connection.");
    case -1:
        return _("Protocol error -- equipment is incompatible with this software.");
    case -2:
        return _("Unknown communication error.");
    default:
        return nullptr;
    }
}

const char* not_detected_text() {
    return _("Temperature controller not detected on the USB port.");
}

const char* no_event_memory_text() {
    return _("This device does not feature event memory.");
}

const char* config_write_error_text() {
    return _("Error writing configuration file.");
}

const char* events_write_error_text() {
    return _("Error writing event CSV file.");
}

const char* picture_write_error_text() {
    return _("Error writing picture file.");
}

std::string undefined_text(const char* label) {
    return GCharPtr(g_strdup_printf(_("Parameter '%s' not defined."), label)).get();
}

std::string config_read_error_text(const char* filename, const GError* error) {
    if (!error || error->domain == G_FILE_ERROR) // a folder, say: it opens, but cannot be read
        return unreadable_text(filename);
    // The parser's own messages may quote bytes of the file that are not UTF-8.
    return GCharPtr(g_utf8_make_valid(error->message, -1)).get();
}

std::string unreadable_text(const char* filename) {
    GCharPtr shown(g_filename_display_name(filename));
    // TRANSLATORS: %s is the file's name.
    return GCharPtr(g_strdup_printf(_("Cannot open configuration file %s."), shown.get())).get();
}
