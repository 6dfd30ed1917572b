#include "text/messages.h"
#include "base/gmem.h"

#include <cerrno>
#include <algorithm>
#include <glib/gi18n.h>
#include <vector>

namespace {

// `sentence`, with the file's name and why `error` (an errno value) failed it, for `writing` or
// for reading.
std::string with_reason(const char* sentence, const char* filename, int error, bool writing) {
    GCharPtr shown(g_filename_display_name(filename));
    // Only the wait for a program at a named pipe's other end ends in ETIMEDOUT on a file;
    // a writer's failure that left no errno (the picture's encoder, say) reads as an I/O error.
    const char* reason = error != ETIMEDOUT ? g_strerror(error ? error : EIO)
                         : writing          ? _("no program opened the pipe to read from it")
                                            : _("no program opened the pipe to write into it");
    return GCharPtr(g_strdup_printf(sentence, shown.get(), reason)).get();
}

} // namespace

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

std::string open_failure_text(const bridge::OpenFailure& why) {
    using F = bridge::OpenFailure;
    const char* format = nullptr;
    switch (why.kind) {
    case F::none:
    case F::not_found:
        return not_detected_text();
    case F::missing:
        format = _("The port %s does not exist.");
        break;
    case F::busy:
        format = _("The port %s is in use by another program.");
        break;
    case F::denied:
        // TRANSLATORS: the command is typed as it stands; keep it untranslated.
        format = _("You may not open the port %s: join the dialout group (sudo usermod -aG dialout "
                   "$USER) and log in again.");
        break;
    case F::bad_address:
        format = _("%s is no port this program can reach: give a serial device, or "
                   "tcp://, rfc2217:// or modbus-tcp:// with HOST:PORT.");
        break;
    case F::unresolved:
        format = _("The host of %s is not known.");
        break;
    case F::refused:
        format = _("Nothing accepts connections at %s.");
        break;
    case F::unreachable:
        format = _("%s cannot be reached from this computer.");
        break;
    case F::timed_out:
        format = _("%s did not answer in time.");
        break;
    case F::other:
        return GCharPtr(g_strdup_printf(_("The port %s could not be opened: %s."),
                                        why.where.c_str(), why.detail.c_str()))
            .get();
    }
    return GCharPtr(g_strdup_printf(format, why.where.c_str())).get();
}

std::string link_stats_text(const LinkStats& s) {
    std::vector<double> ms = s.response_ms;
    std::sort(ms.begin(), ms.end());
    double low = ms.empty() ? 0 : ms.front(), high = ms.empty() ? 0 : ms.back();
    double median = ms.empty() ? 0 : ms[ms.size() / 2];
    // TRANSLATORS: the link's statistics of one session, on one line.
    return GCharPtr(g_strdup_printf(_("Link: %llu requests, %llu replies, %llu timeouts, %llu CRC "
                                      "errors, %llu exception replies; %llu bytes sent, %llu "
                                      "received; response %.1f / %.1f / %.1f ms (least / median / "
                                      "most)."),
                                    static_cast<unsigned long long>(s.requests),
                                    static_cast<unsigned long long>(s.replies),
                                    static_cast<unsigned long long>(s.timeouts),
                                    static_cast<unsigned long long>(s.crc_errors),
                                    static_cast<unsigned long long>(s.exceptions),
                                    static_cast<unsigned long long>(s.bytes_out),
                                    static_cast<unsigned long long>(s.bytes_in), low, median, high))
        .get();
}

std::string interrupted_dump_text(uint32_t seconds) {
    return GCharPtr(g_strdup_printf(_("Interrupted: the controller may go on sending its event "
                                      "memory for up to %u s; the next command waits for it."),
                                    seconds))
        .get();
}

std::string drained_text(uint64_t bytes) {
    return GCharPtr(g_strdup_printf(_("The controller was still sending (%llu bytes of an "
                                      "interrupted event download); waited for it to finish."),
                                    static_cast<unsigned long long>(bytes)))
        .get();
}

const char* events_over_gateway_text() {
    return _("The event memory is no MODBUS reply and cannot pass a MODBUS TCP gateway: reach the "
             "controller over its USB port, a serial line or a serial device server (tcp://, "
             "rfc2217://).");
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

std::string config_write_error_text(const char* filename, int error) {
    // TRANSLATORS: the file's name, then why it failed.
    return with_reason(_("Error writing configuration file %s: %s."), filename, error, true);
}

std::string events_write_error_text(const char* filename, int error) {
    // TRANSLATORS: the file's name, then why it failed.
    return with_reason(_("Error writing event CSV file %s: %s."), filename, error, true);
}

std::string picture_write_error_text(const char* filename, int error) {
    // TRANSLATORS: the file's name, then why it failed.
    return with_reason(_("Error writing picture file %s: %s."), filename, error, true);
}

std::string report_write_error_text(const char* filename, int error) {
    // TRANSLATORS: the file's name, then why it failed.
    return with_reason(_("Error writing report %s: %s."), filename, error, true);
}

std::string unreadable_text(const char* filename, int error) {
    // TRANSLATORS: the file's name, then why it failed.
    return with_reason(_("Cannot open configuration file %s: %s."), filename, error, false);
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

const char* not_connected_text() {
    return _("Connect to the controller first.");
}

const char* no_history_text() {
    return _("No history was kept: name the asset with --asset NAME.");
}

std::string history_error_text(const std::string& detail) {
    return GCharPtr(g_strdup_printf(_("The history cannot be used: %s."), detail.c_str())).get();
}

std::string other_variant_file_text(const char* file_program, const char* program) {
    // TRANSLATORS: the two program names, kelvra and kelvra0.
    return GCharPtr(g_strdup_printf(_("The file is a configuration for %s, not for %s."),
                                    file_program, program))
        .get();
}

std::string layout_mismatch_text(bool from_file, const char* program, int relays, const char* port,
                                 const char* device_program, int device_relays,
                                 const char* device_port) {
    // TRANSLATORS: program names (kelvra, kelvra0), relay counts and ports (MODBUS, DNP3).
    const char* format = from_file ? _("The file is for %s with %d relays and the %s port, but the "
                                       "controller is %s with %d relays and the %s port: nothing "
                                       "was written.")
                                   : _("The window holds %s parameters for %d relays and the %s "
                                       "port, but the controller is %s with %d relays and the %s "
                                       "port: nothing was written.");
    return GCharPtr(g_strdup_printf(format, program, relays, port, device_program, device_relays,
                                    device_port))
        .get();
}

std::string value_faults_text(size_t count) {
    return GCharPtr(g_strdup_printf(ngettext("%d value is not one the controller accepts: nothing "
                                             "was written.",
                                             "%d values are not ones the controller accepts: "
                                             "nothing was written.",
                                             static_cast<unsigned long>(count)),
                                    static_cast<int>(count)))
        .get();
}

std::string value_fault_text(const char* label, const char* value, const char* allowed) {
    // TRANSLATORS: a parameter, its value and what it may be: "Set Point (°C) 3: 9999; allowed:
    // 0 to 200 °C".
    return GCharPtr(g_strdup_printf(_("%s: %s; allowed: %s"), label, value, allowed)).get();
}

std::string partial_upload_text(size_t written, size_t total) {
    if (written == total)
        return GCharPtr(g_strdup_printf(_("All %d writes were made; reading them back failed."),
                                        static_cast<int>(written)))
            .get();
    return GCharPtr(g_strdup_printf(_("The upload stopped after %d of its %d writes; running it "
                                      "again completes it."),
                                    static_cast<int>(written), static_cast<int>(total)))
        .get();
}
