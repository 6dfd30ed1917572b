// cli/: kelvra-cli, the tool's work without a window, for scripts and fleets of controllers. It
// uses the link, the file formats, the parameter model, the plot and the shared words as the
// window does, never the toolkit, and words failures with the window's own sentences, on
// standard error.
#include "base/gmem.h"
#include "formats/configfile.h"
#include "formats/eventcsv.h"
#include "formats/safefile.h"
#include "link/serial.h"
#include "model/transfers.h"
#include "plot/eventplot.h"
#include "text/choices.h"
#include "text/messages.h"
#include "text/textdomain.h"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <glib/gi18n.h>
#include <memory>
#include <optional>
#include <string>
#include <unistd.h>

namespace {

// Exit status of every command.
enum Exit {
    EXIT_OK = 0,
    EXIT_DIFFERENT = 1, // diff only
    EXIT_USAGE = 2,
    EXIT_NOT_FOUND = 3,
    EXIT_LINK = 4,
    EXIT_FILE = 5,
};

struct Options {
    gchar* port = nullptr;
    gchar* output = nullptr;
    gchar* variant = nullptr;
    gchar* png = nullptr;
    gboolean json = FALSE;
    gboolean dry_run = FALSE;
    gboolean version = FALSE;
} opts;

void say(const std::string& message) {
    std::fprintf(stderr, "kelvra-cli: %s\n", message.c_str());
}

int usage_error(const std::string& message) {
    say(message);
    std::fputs(_("Try 'kelvra-cli --help'.\n"), stderr);
    return EXIT_USAGE;
}

const Variant* variant_named(const char* name) {
    if (!name || !std::strcmp(name, "kelvra") || !std::strcmp(name, "full"))
        return &variant_full;
    if (!std::strcmp(name, "kelvra0") || !std::strcmp(name, "rtd"))
        return &variant_rtd;
    return nullptr;
}

// A string as a JSON string literal.
std::string json(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\')
            out += {'\\', static_cast<char>(c)};
        else if (c < 0x20) {
            char escaped[8];
            g_snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else
            out += static_cast<char>(c);
    }
    return out + "\"";
}

// The open link for one command: closed again whatever way the command ends.
struct Connection {
    ~Connection() { serial_close(); }
    // Opens the controller and reads its identification into p: EXIT_OK or the failure's status,
    // after its message.
    int open(Parameters& p) {
        if (opts.port)
            g_setenv("KELVRA_PORT", opts.port, TRUE);
        if (!serial_open()) {
            say(not_detected_text());
            return EXIT_NOT_FOUND;
        }
        return check(read_identification(p));
    }
    static int check(int result) {
        if (result > 0)
            return EXIT_OK;
        say(link_failure_text(result));
        return EXIT_LINK;
    }
};

// Reads a configuration file of p's variant into p: EXIT_OK, or EXIT_FILE after the message.
int read_file(const char* path, Parameters& p) {
    std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path, "r"), &std::fclose);
    GError* error = nullptr;
    if (file && read_config(file.get(), p, &error))
        return EXIT_OK;
    say(config_read_error_text(path, error));
    if (error)
        g_error_free(error);
    return EXIT_FILE;
}

// The temporaries that output files are written to, removed when the command is interrupted,
// so that a stopped command leaves nothing behind either.
char interrupted_temporary[2][4096];

extern "C" void on_interrupt(int signal) {
    for (const char* path : interrupted_temporary)
        if (path[0])
            unlink(path);
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

void remove_on_interrupt(const SafeFile& out) {
    char* free_slot = interrupted_temporary[interrupted_temporary[0][0] ? 1 : 0];
    g_strlcpy(free_slot, out.temporary().c_str(), sizeof interrupted_temporary[0]);
    for (int signal : {SIGINT, SIGTERM, SIGHUP})
        std::signal(signal, on_interrupt);
}

int info(Parameters& p) {
    Connection link;
    if (int status = link.open(p))
        return status;
    const Variant* found = nullptr;
    if (int status = Connection::check(detect_variant(&found)))
        return status;
    bool dnp3 = p.options & OPTION_DNP3, events = p.options & OPTION_EVENTS;
    bool matches = found == p.variant;
    if (opts.json) {
        std::printf("{\"relays\": %d, \"options\": %d, \"port\": \"%s\", \"event_memory\": %s, "
                    "\"variant\": \"%s\", \"variant_matches\": %s}\n",
                    p.nrelays, p.options, dnp3 ? "DNP3" : "MODBUS", events ? "true" : "false",
                    found->program, matches ? "true" : "false");
        return EXIT_OK;
    }
    std::printf(_("Relays: %d\n"), p.nrelays);
    std::printf(_("Port: %s\n"), dnp3 ? "DNP3" : "MODBUS");
    std::printf(_("Event memory: %s\n"), events ? _("yes") : _("no"));
    std::printf(_("Variant: %s\n"), found->program);
    if (!matches)
        say(GCharPtr(g_strdup_printf(_("The controller is a %s; this command was asked for %s."),
                                     found->program, p.variant->program))
                .get());
    if (p.nrelays > RELAYS_BOUND)
        say(GCharPtr(g_strdup_printf(_("Only relays 1 to %d are transferred."), RELAYS_BOUND))
                .get());
    return EXIT_OK;
}

int download(Parameters& p) {
    Connection link;
    if (int status = link.open(p))
        return status;
    // Created first, so a place that cannot be written is found before the transfer.
    SafeFile out(opts.output);
    if (!out.stream()) {
        say(config_write_error_text());
        return EXIT_FILE;
    }
    remove_on_interrupt(out);
    if (int status = Connection::check(download_parameters(p)))
        return status;
    if (!write_config(out.stream(), p) || !out.commit()) {
        say(config_write_error_text());
        return EXIT_FILE;
    }
    return EXIT_OK;
}

int upload(Parameters& p, const char* path) {
    if (int status = read_file(path, p))
        return status;
    Connection link;
    if (int status = link.open(p))
        return status;
    // The file holds no clock: the controller is given the computer's.
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    set_clock(p, local);
    int missing = first_missing(p);
    if (missing >= 0) {
        std::vector<Parameter> map = parameter_map(*p.variant);
        say(undefined_text(find_parameter(map, missing)->label.c_str()));
        return EXIT_FILE;
    }
    if (!opts.dry_run)
        return Connection::check(upload_parameters(p));
    for (const BlockWrite& w : upload_writes(p)) {
        std::printf(_("write %u (%zu registers):"), w.first, w.values.size());
        for (uint16_t v : w.values)
            std::printf(" %u", v);
        std::printf("\n");
    }
    return EXIT_OK;
}

// The rows of the variant's choices, for values shown as the window shows them: from the
// interface file the window would load, and the alternate activation as Connect fills it.
Choices choices_of(const Parameters& p) {
    Choices choices;
    for (const char* folder : UI_FOLDERS) {
        GCharPtr path(g_build_filename(folder, p.variant->main_ui, nullptr));
        if (g_file_test(path.get(), G_FILE_TEST_IS_REGULAR)) {
            choices = read_choices(path.get());
            break;
        }
    }
    choices["AlternateActivation"] = alternate_activation_choices(p.nrelays);
    return choices;
}

int diff(Parameters& file, const char* path) {
    if (int status = read_file(path, file))
        return status;
    Parameters device;
    device.variant = file.variant;
    Connection link;
    if (int status = link.open(device))
        return status;
    if (int status = Connection::check(download_parameters(device)))
        return status;
    std::vector<Parameter> map = parameter_map(*device.variant);
    Choices choices = choices_of(device);
    if (opts.json)
        std::printf("[");
    auto found = differences(device, file, device.nrelays, device.options);
    for (size_t i = 0; i < found.size(); ++i) {
        const Difference& d = found[i];
        const Parameter* param = find_parameter(map, d.address);
        const std::vector<std::string>& rows = choices[param->widget];
        std::string theirs = value_text(*param, d.ours, rows);
        std::string ours = d.theirs_known ? value_text(*param, d.theirs, rows) : "";
        if (opts.json)
            std::printf("%s\n  {\"address\": %u, \"parameter\": %s, \"controller\": %s, "
                        "\"file\": %s}",
                        i ? "," : "", d.address, json(param->label).c_str(), json(theirs).c_str(),
                        d.theirs_known ? json(ours).c_str() : "null");
        else
            std::printf(_("%s (register %u): controller %s, file %s\n"), param->label.c_str(),
                        d.address, theirs.c_str(), d.theirs_known ? ours.c_str() : _("none"));
    }
    if (opts.json)
        std::printf(found.empty() ? "]\n" : "\n]\n");
    return found.empty() ? EXIT_OK : EXIT_DIFFERENT;
}

// A bar on the terminal while the dump comes in, redrawn only when it moves.
void draw_progress(uint32_t received, void*) {
    static int shown = -1;
    int percent = static_cast<int>(uint64_t{received} * 100 / EVENTS_LENGTH);
    percent = percent > 100 ? 100 : percent;
    if (percent == shown)
        return;
    shown = percent;
    char bar[41];
    std::memset(bar, '#', sizeof bar - 1);
    std::memset(bar + percent * 40 / 100, '.', 40 - static_cast<size_t>(percent * 40 / 100));
    bar[40] = '\0';
    std::fprintf(stderr, "\r[%s] %3d%%", bar, percent);
}

// The size of the plot that --png draws.
constexpr int PNG_WIDTH = 1200, PNG_HEIGHT = 700;

int events(Parameters& p) {
    Connection link;
    if (int status = link.open(p))
        return status;
    if (!(p.options & OPTION_EVENTS)) {
        say(no_event_memory_text());
        return EXIT_LINK;
    }
    // Both files are created before the long download, so a place that cannot be written is
    // found first.
    std::optional<SafeFile> csv, png;
    if (opts.output && !csv.emplace(opts.output).stream()) {
        say(events_write_error_text());
        return EXIT_FILE;
    }
    if (opts.png && !png.emplace(opts.png).stream()) {
        say(picture_write_error_text());
        return EXIT_FILE;
    }
    for (auto* out : {&csv, &png})
        if (*out)
            remove_on_interrupt(**out);
    bool terminal = isatty(STDERR_FILENO);
    uint8_t* raw = nullptr;
    uint32_t length = 0;
    int result = read_events(&raw, &length, terminal ? draw_progress : nullptr, nullptr);
    GPtr<uint8_t> dump(raw);
    if (terminal)
        std::fputc('\n', stderr);
    if (int status = Connection::check(result))
        return status;
    if (csv && (!write_event_csv(csv->stream(), dump.get(), length) || !csv->commit())) {
        say(events_write_error_text());
        return EXIT_FILE;
    }
    if (png) {
        EventLog log = read_event_log(dump.get(), length);
        if (!write_plot_png(png->stream(), PNG_WIDTH, PNG_HEIGHT, log, full_view(log, p.nrelays)) ||
            !png->commit()) {
            say(picture_write_error_text());
            return EXIT_FILE;
        }
    }
    return EXIT_OK;
}

} // namespace

int main(int argc, char** argv) {
    init_text_domain();
    const GOptionEntry entries[] = {
        {"port", 'p', 0, G_OPTION_ARG_FILENAME, &opts.port,
         N_("Serial device of the controller (else KELVRA_PORT, else found by its USB name)"),
         N_("PATH")},
        {"output", 'o', 0, G_OPTION_ARG_FILENAME, &opts.output,
         N_("File that download and events write"), N_("FILE")},
        {"png", 0, 0, G_OPTION_ARG_FILENAME, &opts.png,
         N_("Events: draw the temperatures and relays into a PNG picture"), N_("FILE")},
        {"variant", 0, 0, G_OPTION_ARG_STRING, &opts.variant,
         N_("Parameter map: kelvra (full, the default) or kelvra0 (RTD-only)"), N_("NAME")},
        {"json", 0, 0, G_OPTION_ARG_NONE, &opts.json,
         N_("Machine-readable output of info and diff"), nullptr},
        {"dry-run", 'n', 0, G_OPTION_ARG_NONE, &opts.dry_run,
         N_("Upload: print the blocks it would write, write nothing"), nullptr},
        {"version", 0, 0, G_OPTION_ARG_NONE, &opts.version, N_("Print the version and exit"),
         nullptr},
        {}};
    std::unique_ptr<GOptionContext, void (*)(GOptionContext*)> context(
        g_option_context_new(_("COMMAND [FILE.cfg]")), &g_option_context_free);
    g_option_context_set_summary(
        context.get(),
        _("Commands:\n"
          "  info               the controller's relays, port, event memory and variant\n"
          "  download -o FILE   the controller's parameters into a configuration file\n"
          "  upload FILE        a configuration file's parameters into the controller\n"
          "  diff FILE          the parameters in which the controller and a file differ\n"
          "  events -o FILE     the event memory as CSV (--png FILE: also, or instead, a plot)\n"
          "\n"
          "Exit status: 0 done, 1 differences found (diff), 2 usage error, 3 controller not\n"
          "found, 4 link failure, 5 file error."));
    g_option_context_add_main_entries(context.get(), entries, TEXT_DOMAIN);
    g_option_context_set_translation_domain(context.get(), TEXT_DOMAIN);
    GError* error = nullptr;
    if (!g_option_context_parse(context.get(), &argc, &argv, &error)) {
        std::string message = error->message;
        g_error_free(error);
        return usage_error(message);
    }
    if (opts.version) {
        std::printf("kelvra-cli %s\n", KELVRA_VERSION);
        return EXIT_OK;
    }
    if (argc < 2)
        return usage_error(_("No command given."));
    std::string command = argv[1];
    bool takes_file = command == "upload" || command == "diff";
    bool writes = command == "download" || command == "events";
    if (!takes_file && !writes && command != "info")
        return usage_error(GCharPtr(g_strdup_printf(_("Unknown command '%s'."), argv[1])).get());
    if (argc != (takes_file ? 3 : 2))
        return usage_error(takes_file ? _("The command needs one configuration file.")
                                      : _("Too many arguments."));
    bool dump = command == "events";
    if (opts.png && !dump)
        return usage_error(_("Only events takes --png."));
    if (writes && !opts.output && !(dump && opts.png))
        return usage_error(_("The command needs -o FILE."));
    if (!writes && opts.output)
        return usage_error(_("Only download and events take -o."));
    if (opts.json && command != "info" && command != "diff")
        return usage_error(_("Only info and diff take --json."));
    if (opts.dry_run && command != "upload")
        return usage_error(_("Only upload takes --dry-run."));
    Parameters p;
    p.variant = variant_named(opts.variant);
    if (!p.variant)
        return usage_error(
            GCharPtr(g_strdup_printf(_("Unknown variant '%s'."), opts.variant)).get());
    if (command == "info")
        return info(p);
    if (command == "download")
        return download(p);
    if (command == "upload")
        return upload(p, argv[2]);
    if (command == "diff")
        return diff(p, argv[2]);
    return events(p);
}
