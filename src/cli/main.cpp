// cli/: kelvra-cli, the tool's work without a window, for scripts and fleets of controllers. It
// uses the link, the file formats, the parameter model, the plot and the shared words as the
// window does, never the toolkit, and words failures with the window's own sentences, on
// standard error.
#include "base/gmem.h"
#include "formats/configfile.h"
#include "formats/eventcsv.h"
#include "formats/safefile.h"
#include "history/history.h"
#include "formats/streams.h"
#include "link/bridge.h"
#include "link/netport.h"
#include "link/serial.h"
#include "model/upload.h"
#include "plot/eventplot.h"
#include "report/report.h"
#include "text/messages.h"
#include "text/textdomain.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <glib/gi18n.h>
#include <json-glib/json-glib.h>
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
    EXIT_FILE = 5, // also a file or values the controller cannot take
    EXIT_KEPT = 6, // upload: the controller kept values other than those written
};

struct Options {
    gchar* port = nullptr;
    gchar* output = nullptr;
    gchar* variant = nullptr;
    gchar* png = nullptr;
    gchar* trace = nullptr;
    gchar* device = nullptr;
    gchar* asset = nullptr;
    gchar* history = nullptr;
    gchar* engineer = nullptr;
    gboolean no_history = FALSE;
    gchar* slaves = nullptr;
    gchar* bauds = nullptr;
    gboolean stats = FALSE;
    gboolean json = FALSE;
    gboolean dry_run = FALSE;
    gboolean all = FALSE;
    gboolean iso = FALSE;
    gint slave = 1;
    gint baud = LINK_BAUD_RATE;
    gboolean version = FALSE;
} opts;

// What went wrong, for standard error: said at once, or under --json gathered for the one
// error object that ends the command.
std::vector<std::string> said;

void say(const std::string& message) {
    if (opts.json)
        said.push_back(message);
    else
        std::fprintf(stderr, "kelvra-cli: %s\n", message.c_str());
}

int usage_error(const std::string& message) {
    say(message);
    if (!opts.json)
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

// JSON for scripts, built with json-glib. Every document is an object that starts with its
// schema; keys and ids never depend on the locale.
constexpr int JSON_SCHEMA = 1;
using Builder = std::unique_ptr<JsonBuilder, decltype(&g_object_unref)>;

Builder json_document() {
    Builder b(json_builder_new(), &g_object_unref);
    json_builder_begin_object(b.get());
    json_builder_set_member_name(b.get(), "schema");
    json_builder_add_int_value(b.get(), JSON_SCHEMA);
    return b;
}

void json_member(JsonBuilder* b, const char* name, const std::string& value) {
    json_builder_set_member_name(b, name);
    json_builder_add_string_value(b, value.c_str());
}

void json_member(JsonBuilder* b, const char* name, gint64 value) {
    json_builder_set_member_name(b, name);
    json_builder_add_int_value(b, value);
}

void json_print(JsonBuilder* b, FILE* out) {
    json_builder_end_object(b);
    std::unique_ptr<JsonNode, decltype(&json_node_unref)> root(json_builder_get_root(b),
                                                               &json_node_unref);
    std::unique_ptr<JsonGenerator, decltype(&g_object_unref)> generator(json_generator_new(),
                                                                        &g_object_unref);
    json_generator_set_pretty(generator.get(), TRUE);
    json_generator_set_root(generator.get(), root.get());
    GCharPtr text(json_generator_to_data(generator.get(), nullptr));
    std::fprintf(out, "%s\n", text.get());
}

// A register value as a script wants it: raw, and as the window shows it; null without one.
void json_value(JsonBuilder* b, const char* name, const Parameter& p, bool known, uint16_t value,
                int nrelays) {
    json_builder_set_member_name(b, name);
    if (!known) {
        json_builder_add_null_value(b);
        return;
    }
    json_builder_begin_object(b);
    json_member(b, "raw", value);
    json_member(b, "shown", value_text(p, value, choice_rows(p, nrelays)));
    json_builder_end_object(b);
}

// One parameter of a difference: its id, register, name and unit, and the two values.
void json_difference(JsonBuilder* b, const Parameter& p, const Difference& d, const char* ours,
                     const char* theirs, int nrelays) {
    json_builder_begin_object(b);
    json_member(b, "id", p.id);
    json_member(b, "address", p.address);
    json_member(b, "name", p.label);
    json_member(b, "unit", p.def->unit);
    json_value(b, ours, p, d.ours_known, d.ours, nrelays);
    json_value(b, theirs, p, d.theirs_known, d.theirs, nrelays);
    json_builder_end_object(b);
}

// Differences as a member of a JSON document, or as lines "label (register n): A x, B y".
void report_differences(JsonBuilder* b, const char* member, const std::vector<Difference>& found,
                        const Variant& v, int nrelays, const char* ours, const char* theirs,
                        const char* line_format) {
    std::vector<Parameter> map = parameter_map(v);
    if (b) {
        json_builder_set_member_name(b, member);
        json_builder_begin_array(b);
    }
    for (const Difference& d : found) {
        const Parameter* p = find_parameter(map, d.address);
        if (b) {
            json_difference(b, *p, d, ours, theirs, nrelays);
            continue;
        }
        std::vector<std::string> rows = choice_rows(*p, nrelays);
        std::string a = d.ours_known ? value_text(*p, d.ours, rows) : _("none");
        std::string z = d.theirs_known ? value_text(*p, d.theirs, rows) : _("none");
        std::printf(line_format, p->label.c_str(), d.address, a.c_str(), z.c_str());
    }
    if (b)
        json_builder_end_array(b);
}

std::string other_controller_text(const Variant& found, const Variant& asked) {
    return GCharPtr(g_strdup_printf(_("The controller is a %s; this command was asked for %s."),
                                    found.program, asked.program))
        .get();
}

// The open link for one command: closed again whatever way the command ends.
struct Connection {
    Link link{settings()};
    std::unique_ptr<FILE, int (*)(FILE*)> trace{nullptr, &std::fclose};
    ~Connection() {
        link.close();
        if (opts.stats)
            std::fprintf(stderr, "kelvra-cli: %s\n", link_stats_text(link.stats()).c_str());
    }
    static LinkSettings settings() {
        LinkSettings s;
        s.where = opts.port ? opts.port : "";
        s.slave = static_cast<uint8_t>(opts.slave);
        s.baud = static_cast<uint32_t>(opts.baud);
        return s;
    }
    // Opens the controller and reads its identification into p: EXIT_OK or the failure's status,
    // after its message.
    int open(Parameters& p) {
        if (int status = open_port())
            return status;
        return check(read_identification(link, p));
    }
    int open_port() {
        if (opts.trace) {
            trace.reset(std::fopen(opts.trace, "w"));
            if (!trace) {
                say(GCharPtr(g_strdup_printf("%s: %s", opts.trace, g_strerror(errno))).get());
                return EXIT_FILE;
            }
            link.set_trace(trace.get());
        }
        bridge::OpenFailure why;
        if (!link.open(&why)) {
            say(open_failure_text(why));
            return EXIT_NOT_FOUND;
        }
        if (link.drained())
            say(drained_text(link.drained()));
        return EXIT_OK;
    }
    static int check(int result) {
        if (result > 0)
            return EXIT_OK;
        say(link_failure_text(result));
        return EXIT_LINK;
    }
    // After open: refuses a controller of another variant than p's, whose registers would be
    // read or written under the wrong names.
    int check_variant(const Parameters& p) {
        const Variant* found = nullptr;
        if (int status = check(detect_variant(link, &found)))
            return status;
        if (found == p.variant)
            return EXIT_OK;
        say(other_controller_text(*found, *p.variant));
        return EXIT_FILE;
    }
};

// The history in --history's folder (else the default one); null after saying why it cannot
// be used.
std::unique_ptr<History> open_history() {
    std::string error;
    std::unique_ptr<History> history = History::open(History::folder(opts.history), &error);
    if (!history)
        say(history_error_text(error));
    return history;
}

// The history of the asset a command transfers. The asset is named by --asset, else by its USB
// bridge's serial number; one without either (a pseudo-terminal, a server) has none, as said.
struct AssetHistory {
    std::unique_ptr<History> history;
    Asset asset;

    // After the link opened: EXIT_OK, or EXIT_FILE after the message when the history cannot
    // be used.
    int open(const Link& link) {
        asset = asset_reached(opts.asset ? opts.asset : "", link.opened());
        if (opts.no_history) {
            asset.key.clear();
            return EXIT_OK;
        }
        if (asset.key.empty()) {
            say(no_history_text());
            return EXIT_OK;
        }
        history = open_history();
        return history ? EXIT_OK : EXIT_FILE;
    }
    // A version of the asset: EXIT_OK (also when no history is kept), or EXIT_FILE after the
    // message.
    int record(const Parameters& p, const std::string& action, const std::string& what = "",
               const std::string& body = "") {
        if (!history)
            return EXIT_OK;
        std::string error, message = action + " " + asset.key;
        if (!what.empty())
            message.append(": ").append(what);
        if (!body.empty())
            message.append("\n\n").append(body);
        if (!history->record(asset, p, message, &error).empty())
            return EXIT_OK;
        say(history_error_text(error));
        return EXIT_FILE;
    }
};

// Reads a configuration file of p's variant into p: EXIT_OK, or EXIT_FILE after the message.
// `-` is standard input.
int read_file(const char* path, Parameters& p) {
    std::unique_ptr<FILE, int (*)(FILE*)> file(open_input(path), &std::fclose);
    if (!file) {
        say(unreadable_text(path, errno));
        return EXIT_FILE;
    }
    GError* error = nullptr;
    if (read_config(file.get(), p, &error))
        return EXIT_OK;
    say(config_read_error_text(path, error));
    if (error)
        g_error_free(error);
    return EXIT_FILE;
}

int info(Parameters& p) {
    Connection connection;
    if (int status = connection.open(p))
        return status;
    const Variant* found = nullptr;
    if (int status = Connection::check(detect_variant(connection.link, &found)))
        return status;
    bool dnp3 = p.options & OPTION_DNP3, events = p.options & OPTION_EVENTS;
    bool matches = found == p.variant;
    if (opts.json) {
        Builder b = json_document();
        json_member(b.get(), "serial_port", connection.link.opened());
        json_member(b.get(), "relays", p.nrelays);
        json_member(b.get(), "options", p.options);
        json_member(b.get(), "port", dnp3 ? "DNP3" : "MODBUS");
        json_builder_set_member_name(b.get(), "event_memory");
        json_builder_add_boolean_value(b.get(), events);
        json_member(b.get(), "variant", found->program);
        json_builder_set_member_name(b.get(), "variant_matches");
        json_builder_add_boolean_value(b.get(), matches);
        json_print(b.get(), stdout);
        return EXIT_OK;
    }
    std::printf(_("Relays: %d\n"), p.nrelays);
    std::printf(_("Port: %s\n"), dnp3 ? "DNP3" : "MODBUS");
    std::printf(_("Event memory: %s\n"), events ? _("yes") : _("no"));
    std::printf(_("Variant: %s\n"), found->program);
    if (!matches)
        say(other_controller_text(*found, *p.variant));
    if (p.nrelays > RELAYS_BOUND)
        say(GCharPtr(g_strdup_printf(_("Only relays 1 to %d are transferred."), RELAYS_BOUND))
                .get());
    return EXIT_OK;
}

int download(Parameters& p) {
    Connection connection;
    if (int status = connection.open(p))
        return status;
    if (int status = connection.check_variant(p))
        return status;
    AssetHistory kept;
    // A file asked for is written even when the history cannot be used; the status says so.
    int history_status = kept.open(connection.link);
    if (history_status && !opts.output)
        return history_status;
    if (!opts.output && !kept.history)
        return usage_error(_("The command needs -o FILE, or an asset with a history."));
    // Created first, so a place that cannot be written is found before the transfer.
    std::optional<SafeFile> out;
    if (opts.output && !out.emplace(opts.output).stream()) {
        say(config_write_error_text(opts.output, out->error()));
        return EXIT_FILE;
    }
    if (int status = Connection::check(download_parameters(connection.link, p)))
        return status;
    if (out && (!write_config(out->stream(), p) || !out->commit())) {
        say(config_write_error_text(opts.output, out->error()));
        return EXIT_FILE;
    }
    return history_status ? history_status : kept.record(p, "download");
}

// The commissioning report: the controller as it is, kept as a version, drawn with what the
// history knows of its last upload and its events.
int report(Parameters& p) {
    Connection connection;
    if (int status = connection.open(p))
        return status;
    // Whatever the controller is, its report is of its own variant.
    if (int status = Connection::check(detect_variant(connection.link, &p.variant)))
        return status;
    AssetHistory kept;
    int history_status = kept.open(connection.link);
    SafeFile out(opts.output);
    if (!out.stream()) {
        say(report_write_error_text(opts.output, out.error()));
        return EXIT_FILE;
    }
    if (int status = Connection::check(download_parameters(connection.link, p)))
        return status;
    if (!history_status)
        history_status = kept.record(p, "report");
    ReportSubject subject;
    subject.settings = p;
    subject.asset = kept.asset;
    subject.slave = opts.slave;
    subject.baud = static_cast<uint32_t>(opts.baud);
    subject.engineer = opts.engineer ? opts.engineer : default_engineer();
    subject.made = std::time(nullptr);
    subject.tool = std::string("kelvra-cli ") + KELVRA_VERSION;
    if (!write_report(out.stream(), subject, kept.history.get()) || !out.commit()) {
        say(report_write_error_text(opts.output, out.error()));
        return EXIT_FILE;
    }
    return history_status;
}

// The layout a file covers: its relays, and the port whose registers it has.
void take_layout_of_file(Parameters& p) {
    p.nrelays = relays_in(p);
    p.options = options_in(p);
}

void print_plan(const UploadPlan& plan, const Parameters& p, JsonBuilder* b) {
    report_differences(b, "changes", plan.changes, *p.variant, p.nrelays, "file", "controller",
                       _("%s (register %u): file %s, controller %s\n"));
    if (b) {
        json_builder_set_member_name(b, "writes");
        json_builder_begin_array(b);
    }
    for (const BlockWrite& w : plan.writes) {
        if (!b) {
            std::printf(_("write %u (%zu registers):"), w.first, w.values.size());
            for (uint16_t v : w.values)
                std::printf(" %u", v);
            std::printf("\n");
            continue;
        }
        json_builder_begin_object(b);
        json_member(b, "first", w.first);
        json_builder_set_member_name(b, "values");
        json_builder_begin_array(b);
        for (uint16_t v : w.values)
            json_builder_add_int_value(b, v);
        json_builder_end_array(b);
        json_builder_end_object(b);
    }
    if (b)
        json_builder_end_array(b);
}

// The parameters a command is given: a configuration file, or ASSET@REV, a version of the
// history (a file of that name, when there is one, is the file).
int read_source(const char* source, Parameters& p, std::string* version = nullptr) {
    const char* at = std::strrchr(source, '@');
    if (!at || !std::strcmp(source, "-") || g_file_test(source, G_FILE_TEST_EXISTS)) {
        if (int status = read_file(source, p))
            return status;
        take_layout_of_file(p);
        return EXIT_OK;
    }
    std::unique_ptr<History> history = open_history();
    if (!history)
        return EXIT_FILE;
    std::string error, commit;
    if (history->load(std::string(source, at), at + 1, p, &commit, &error)) {
        if (version)
            *version = std::string(source, at) + "@" + commit;
        return EXIT_OK;
    }
    say(history_error_text(error));
    return EXIT_FILE;
}

int upload(Parameters& p, const char* source, const char* action) {
    // A file by its name, a version by its asset and commit.
    std::string named = GCharPtr(g_path_get_basename(source)).get();
    if (int status = read_source(source, p, &named))
        return status;
    Connection connection;
    if (int status = connection.open_port())
        return status;
    AssetHistory kept;
    if (int status = kept.open(connection.link))
        return status;
    // The file holds no clock: the controller is given the computer's.
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    set_clock(p, local);
    std::optional<Builder> json;
    if (opts.json)
        json.emplace(json_document());
    JsonBuilder* b = json ? json->get() : nullptr;
    UploadOptions how;
    how.from_file = true;
    how.all = opts.all;
    how.confirm = [&](const UploadPlan& plan) {
        print_plan(plan, p, b);
        return !opts.dry_run;
    };
    // What the controller held is kept before anything is written over it.
    how.before_write = [&](const Parameters& held, std::string* why) {
        if (kept.record(held, "backup", _("before upload")) == EXIT_OK)
            return true;
        *why = _("Nothing was written: the backup could not be kept (--no-history uploads "
                 "without one).");
        return false;
    };
    UploadResult r = upload_to_controller(connection.link, p, how);
    int status = EXIT_OK;
    switch (r.status) {
    case UploadStatus::refused:
        say(r.message);
        for (const std::string& line : r.lines)
            say(line);
        return EXIT_FILE;
    case UploadStatus::link_failed:
        say(link_failure_text(r.link_result));
        if (!r.message.empty())
            say(r.message);
        status = EXIT_LINK;
        break;
    case UploadStatus::kept_other:
        if (!b)
            std::printf(_("The controller kept other values:\n"));
        report_differences(b, "kept", r.kept, *p.variant, p.nrelays, "written", "kept",
                           _("%s (register %u): written %s, kept %s\n"));
        say(GCharPtr(
                g_strdup_printf(ngettext("The controller kept a different value for %d parameter.",
                                         "The controller kept different values for %d parameters.",
                                         static_cast<unsigned long>(r.kept.size())),
                                static_cast<int>(r.kept.size())))
                .get());
        status = EXIT_KEPT;
        break;
    case UploadStatus::cancelled: // the dry run
    case UploadStatus::done:
        break;
    }
    // What the controller holds now, kept even when it is not all that was written.
    if ((r.status == UploadStatus::done || r.status == UploadStatus::kept_other) &&
        kept.record(r.after, action, named + ", " + changes_summary(r.before, r.after),
                    read_back_text(*p.variant, r.kept)) != EXIT_OK)
        status = status == EXIT_OK ? EXIT_FILE : status;
    if (b && r.status != UploadStatus::refused) {
        json_member(b, "written", static_cast<gint64>(r.written));
        json_print(b, stdout);
    }
    return status;
}

// The differences of two sets of parameters, or of one and the controller, by the names given.
int diff(Parameters& first, const char* a, const char* b) {
    if (int status = read_source(a, first))
        return status;
    Parameters second;
    second.variant = first.variant;
    std::optional<Connection> connection;
    if (b) {
        if (int status = read_source(b, second))
            return status;
    } else {
        connection.emplace();
        if (int status = connection->open(second))
            return status;
        if (int status = connection->check_variant(second))
            return status;
        if (int status = Connection::check(download_parameters(connection->link, second)))
            return status;
    }
    // Against the controller, in its layout; else in the first's.
    const Parameters& layout = b ? first : second;
    auto found = differences(second, first, layout.nrelays, layout.options);
    std::optional<Builder> json;
    if (opts.json)
        json.emplace(json_document());
    JsonBuilder* doc = json ? json->get() : nullptr;
    if (b) {
        // The names go into the line as they are, percent signs and all.
        auto escaped = [](const char* name) {
            std::string out;
            for (const char* c = name; *c; ++c)
                out += *c == '%' ? "%%" : std::string(1, *c);
            return out;
        };
        GCharPtr format(g_strdup_printf("%%s (register %%u): %s %%s, %s %%s\n", escaped(b).c_str(),
                                        escaped(a).c_str()));
        report_differences(doc, "differences", found, *first.variant, layout.nrelays, "second",
                           "first", format.get());
    } else {
        report_differences(doc, "differences", found, *second.variant, second.nrelays, "controller",
                           "file", _("%s (register %u): controller %s, file %s\n"));
    }
    if (doc)
        json_print(doc, stdout);
    return found.empty() ? EXIT_OK : EXIT_DIFFERENT;
}

int list() {
    std::vector<bridge::UsbTty> found = attached_bridges();
    if (found.empty())
        say(not_detected_text());
    for (const bridge::UsbTty& t : found)
        std::printf("%s\t%s\t%s\t%s\n", t.path.c_str(), t.product.c_str(),
                    t.serial.empty() ? "-" : t.serial.c_str(),
                    bridge::held_elsewhere(t.path) ? _("in use") : _("free"));
    return found.empty() ? EXIT_NOT_FOUND : EXIT_OK;
}

// The device path of the bridge with this USB serial number; null, after the message, when none
// is attached.
gchar* bridge_of(const char* serial) {
    for (const bridge::UsbTty& t : attached_bridges())
        if (t.serial == serial)
            return g_strdup(t.path.c_str());
    say(GCharPtr(g_strdup_printf(_("No controller's USB bridge with serial number %s is "
                                   "attached."),
                                 serial))
            .get());
    return nullptr;
}

// "A-B" or "N" within 1..247; false for anything else.
bool slave_range(const char* text, int* first, int* last) {
    char tail = 0;
    int n = text ? std::sscanf(text, "%d-%d%c", first, last, &tail) : 0;
    if (n == 1)
        *last = *first;
    return (n == 1 || n == 2) && *first >= 1 && *last <= 247 && *first <= *last;
}

// Every slave address of the range at every baud rate: one line per controller that answers.
// The wait for each address is the line time of a request and its reply, and a little.
int scan(Parameters& p) {
    int first = 1, last = 247;
    if (opts.slaves && !slave_range(opts.slaves, &first, &last))
        return usage_error(_("--slaves takes A-B within 1-247."));
    std::vector<uint32_t> bauds;
    GStrv list = g_strsplit(opts.bauds ? opts.bauds : std::to_string(opts.baud).c_str(), ",", -1);
    for (gchar** b = list; *b; ++b)
        bauds.push_back(static_cast<uint32_t>(g_ascii_strtoull(*b, nullptr, 10)));
    g_strfreev(list);
    int found = 0;
    for (uint32_t baud : bauds) {
        if (baud == 0)
            return usage_error(_("--bauds takes positive numbers, comma-separated."));
        Connection connection;
        LinkSettings s = Connection::settings();
        s.baud = baud;
        s.attempts = 1;
        bool network = bridge::is_network(s.where);
        s.first_byte_ms = (network ? 150 : 30) + 2 * (31 * 10 * 1000 / baud + 1);
        connection.link.set_settings(s);
        if (int status = connection.open_port())
            return status;
        for (int slave = first; slave <= last; ++slave) {
            s.slave = static_cast<uint8_t>(slave);
            connection.link.set_settings(s);
            const Variant* variant = nullptr;
            if (read_identification(connection.link, p) != LINK_OK ||
                detect_variant(connection.link, &variant) != LINK_OK)
                continue;
            std::printf("%d %u %d %s\n", slave, baud, p.nrelays, variant->program);
            std::fflush(stdout);
            ++found;
        }
    }
    return found ? EXIT_OK : EXIT_NOT_FOUND;
}

// The versions of one asset (of every asset without a name), newest first.
int show_history(const char* asset) {
    std::unique_ptr<History> history = open_history();
    if (!history)
        return EXIT_FILE;
    for (const Version& v : history->versions(asset))
        std::printf("%s  %s  %s  %s\n", v.rev.c_str(), v.date.c_str(), v.author.c_str(),
                    v.message.c_str());
    return EXIT_OK;
}

// The history shared through its remote: fetched, merged, pushed.
int sync() {
    std::unique_ptr<History> history = open_history();
    if (!history)
        return EXIT_FILE;
    std::string said;
    History::SyncResult r = history->sync(&said);
    if (r == History::SyncResult::done) {
        std::printf("%s\n", said.c_str());
        return EXIT_OK;
    }
    say(history_error_text(said));
    return r == History::SyncResult::unreachable ? EXIT_LINK : EXIT_FILE;
}

// What a signal that stops the command says first: set while an event download runs.
char stopped_message[512];

extern "C" void on_stopped(int signal) {
    if (stopped_message[0]) {
        [[maybe_unused]] ssize_t n =
            write(STDERR_FILENO, stopped_message, std::strlen(stopped_message));
    }
    std::signal(signal, SIG_DFL);
    std::raise(signal);
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

// The outputs of events, created before the long download so that a place that cannot be
// written is found first, and written from the records once they are in.
struct EventOutputs {
    const char* csv_name = nullptr; // the CSV in the layout that explains itself, when asked for
    std::optional<SafeFile> csv, png;

    int open(const char* csv_path) {
        csv_name = csv_path;
        if (csv_name && !csv.emplace(csv_name).stream()) {
            say(events_write_error_text(csv_name, csv->error()));
            return EXIT_FILE;
        }
        if (opts.png && !png.emplace(opts.png).stream()) {
            say(picture_write_error_text(opts.png, png->error()));
            return EXIT_FILE;
        }
        return EXIT_OK;
    }
    // The CSV in the layout that explains itself, and the plot of `drawn`.
    int write(const EventFileHeader& about, const std::vector<EventRecord>& records,
              const std::vector<EventRecord>& drawn) {
        if (csv) {
            std::string text = event_iso_text(about, records);
            if (std::fwrite(text.data(), 1, text.size(), csv->stream()) != text.size() ||
                !csv->commit()) {
                say(events_write_error_text(csv_name, csv->error()));
                return EXIT_FILE;
            }
        }
        if (png) {
            EventLog log = make_event_log(drawn);
            PlotView view = full_view(log, about.relays);
            view.title = plot_title(about, log);
            if (!write_plot_png(png->stream(), PNG_WIDTH, PNG_HEIGHT, log, view) ||
                !png->commit()) {
                say(picture_write_error_text(opts.png, png->error()));
                return EXIT_FILE;
            }
        }
        return EXIT_OK;
    }
};

// An asset's merged event history, from the history alone: no controller.
int history_events(const char* key) {
    std::unique_ptr<History> history = open_history();
    if (!history)
        return EXIT_FILE;
    EventFileHeader about;
    std::vector<EventRecord> records;
    std::string error;
    if (!history->events(key, "HEAD", &about, &records, &error)) {
        say(history_error_text(error));
        return EXIT_FILE;
    }
    EventOutputs out;
    if (int status = out.open(opts.output))
        return status;
    return out.write(about, records, records);
}

int events(Parameters& p) {
    Connection connection;
    if (int status = connection.open(p))
        return status;
    if (!(p.options & OPTION_EVENTS)) {
        say(no_event_memory_text());
        return EXIT_LINK;
    }
    if (bridge::is_modbus_tcp(connection.link.opened())) {
        say(events_over_gateway_text());
        return EXIT_LINK;
    }
    AssetHistory kept;
    int history_status = kept.open(connection.link);
    if (history_status && !opts.output && !opts.png)
        return history_status;
    if (!opts.output && !opts.png && !kept.history)
        return usage_error(_("The command needs -o FILE, or an asset with a history."));
    // The export's layout is written from the dump itself.
    EventOutputs out;
    std::optional<SafeFile> export_csv;
    if (opts.output && !opts.iso && !export_csv.emplace(opts.output).stream()) {
        say(events_write_error_text(opts.output, export_csv->error()));
        return EXIT_FILE;
    }
    if (int status = out.open(opts.iso ? opts.output : nullptr))
        return status;
    // Stopped now, the controller goes on sending: the user is told for how long.
    g_strlcpy(
        stopped_message,
        ("kelvra-cli: " + interrupted_dump_text(connection.link.dump_seconds()) + "\n").c_str(),
        sizeof stopped_message);
    bool terminal = isatty(STDERR_FILENO);
    uint8_t* raw = nullptr;
    uint32_t length = 0;
    int result =
        connection.link.read_events(&raw, &length, terminal ? draw_progress : nullptr, nullptr);
    GPtr<uint8_t> dump(raw);
    stopped_message[0] = '\0';
    if (terminal)
        std::fputc('\n', stderr);
    if (int status = Connection::check(result))
        return status;
    if (export_csv &&
        (!write_event_csv(export_csv->stream(), dump.get(), length) || !export_csv->commit())) {
        say(events_write_error_text(opts.output, export_csv->error()));
        return EXIT_FILE;
    }
    std::vector<EventRecord> records = dump_records(dump.get(), length);
    EventFileHeader about =
        events_about(p, kept.asset, std::string("kelvra-cli ") + KELVRA_VERSION);
    std::string error;
    if (!history_status && kept.history) {
        if (kept.history
                ->record_events(kept.asset, about, records, "events " + kept.asset.key, &error)
                .empty()) {
            say(history_error_text(error));
            history_status = EXIT_FILE;
        } else {
            // With a history, the plot is of all the asset's records, this download's with them.
            std::vector<EventRecord> merged;
            if (kept.history->events(kept.asset.key, "HEAD", &about, &merged, &error))
                return out.write(about, records, merged);
        }
    }
    int status = out.write(about, records, records);
    return history_status ? history_status : status;
}

int run(int argc, char** argv) {
    const GOptionEntry entries[] = {
        {"port", 'p', 0, G_OPTION_ARG_FILENAME, &opts.port,
         N_("Serial device, or tcp://, rfc2217:// or modbus-tcp://HOST:PORT of the controller "
            "(else KELVRA_PORT, else found by its USB name)"),
         N_("WHERE")},
        {"slave", 0, 0, G_OPTION_ARG_INT, &opts.slave,
         N_("MODBUS address of the controller, 1 to 247 (1)"), N_("N")},
        {"baud", 0, 0, G_OPTION_ARG_INT, &opts.baud,
         N_("Line speed of the controller's port (115200)"), N_("N")},
        {"device", 0, 0, G_OPTION_ARG_STRING, &opts.device,
         N_("The USB bridge with this serial number (see list)"), N_("SERIAL")},
        {"slaves", 0, 0, G_OPTION_ARG_STRING, &opts.slaves,
         N_("Scan: the slave addresses to try, A-B (1-247)"), N_("A-B")},
        {"bauds", 0, 0, G_OPTION_ARG_STRING, &opts.bauds,
         N_("Scan: the line speeds to try, comma-separated (the --baud)"), N_("LIST")},
        {"asset", 0, 0, G_OPTION_ARG_STRING, &opts.asset,
         N_("The asset's name in the history (else the USB serial number)"), N_("NAME")},
        {"history", 0, 0, G_OPTION_ARG_FILENAME, &opts.history,
         N_("The history's folder (else KELVRA_HISTORY, else $XDG_DATA_HOME/kelvra/history)"),
         N_("DIR")},
        {"engineer", 0, 0, G_OPTION_ARG_STRING, &opts.engineer,
         N_("Report: the engineer who signs it (else the user's real name)"), N_("NAME")},
        {"no-history", 0, 0, G_OPTION_ARG_NONE, &opts.no_history,
         N_("Keep no history of this transfer"), nullptr},
        {"stats", 0, 0, G_OPTION_ARG_NONE, &opts.stats,
         N_("Print the link's statistics on standard error at the end"), nullptr},
        {"trace", 0, 0, G_OPTION_ARG_FILENAME, &opts.trace,
         N_("Write every frame to FILE: time, direction, bytes in hex"), N_("FILE")},
        {"output", 'o', 0, G_OPTION_ARG_FILENAME, &opts.output,
         N_("File that download and events write"), N_("FILE")},
        {"png", 0, 0, G_OPTION_ARG_FILENAME, &opts.png,
         N_("Events: draw the temperatures and relays into a PNG picture"), N_("FILE")},
        {"iso", 0, 0, G_OPTION_ARG_NONE, &opts.iso,
         N_("Events: write -o in the layout that explains itself (ISO 8601 times, a header)"),
         nullptr},
        {"variant", 0, 0, G_OPTION_ARG_STRING, &opts.variant,
         N_("Parameter map: kelvra (full, the default) or kelvra0 (RTD-only)"), N_("NAME")},
        {"json", 0, 0, G_OPTION_ARG_NONE, &opts.json,
         N_("Machine-readable output of info, diff and upload, and of errors"), nullptr},
        {"dry-run", 'n', 0, G_OPTION_ARG_NONE, &opts.dry_run,
         N_("Upload: print what it would change and write, write nothing"), nullptr},
        {"all", 0, 0, G_OPTION_ARG_NONE, &opts.all,
         N_("Upload: write every block, not only those that differ"), nullptr},
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
          "  upload FILE        a configuration file's parameters into the controller: the\n"
          "                     blocks that differ, after checking the controller's variant\n"
          "                     and layout and every value; then read back\n"
          "  diff FILE          the parameters in which the controller and a file differ\n"
          "  events [-o FILE]   the event memory: merged into the asset's history, and as CSV\n"
          "                     (--iso: in the layout that explains itself; --png FILE: a plot\n"
          "                     of the asset's whole history, else of this download)\n"
          "  events ASSET       the asset's merged event history, from the history alone:\n"
          "                     -o FILE (the --iso layout) and/or --png FILE\n"
          "  report -o FILE.pdf the commissioning report: the controller's identity and every\n"
          "                     setting with their SHA-256, the last upload's read-back and\n"
          "                     changes, and the latest events, from the history (--engineer)\n"
          "  list               the controllers' USB bridges attached, with their serial numbers\n"
          "  history [ASSET]    the versions the history keeps of an asset, newest first\n"
          "  restore ASSET@REV  a version of the history back into the controller, as upload\n"
          "  diff A [B]         also between two of a file, ASSET@REV and the controller\n"
          "  sync               the history shared through its git remote (origin)\n"
          "  scan               the controllers on a line or behind a server: slave, baud,\n"
          "                     relays and variant of each (--slaves A-B, --bauds LIST)\n"
          "\n"
          "Exit status: 0 done, 1 differences found (diff), 2 usage error, 3 controller not\n"
          "found, 4 link failure, 5 file error or values the controller cannot take, 6 the\n"
          "controller kept values other than those written (upload)."));
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
    bool writes = command == "download" || command == "events" || command == "report";
    bool history = command == "history" || command == "restore" || command == "sync";
    if (!takes_file && !writes && !history && command != "info" && command != "list" &&
        command != "scan")
        return usage_error(GCharPtr(g_strdup_printf(_("Unknown command '%s'."), argv[1])).get());
    if (command == "history" && argc <= 3)
        return show_history(argc == 3 ? argv[2] : "");
    if (command == "sync" && argc == 2)
        return sync();
    if (command == "restore" && (argc != 3 || !std::strchr(argv[2], '@')))
        return usage_error(_("restore takes one ASSET@REV."));
    if (command == "restore") {
        // The asset restored is the one named, unless another name is given.
        if (!opts.asset)
            opts.asset = g_strndup(argv[2], std::strrchr(argv[2], '@') - argv[2]);
        Parameters p;
        p.variant = variant_named(opts.variant);
        return upload(p, argv[2], "restore");
    }
    if (command == "diff" && argc == 4) {
        Parameters p;
        p.variant = variant_named(opts.variant);
        return diff(p, argv[2], argv[3]);
    }
    // An asset's event history needs no controller.
    if (command == "events" && argc == 3 && (opts.output || opts.png))
        return history_events(argv[2]);
    if (argc != (takes_file ? 3 : 2))
        return usage_error(takes_file ? _("The command needs one configuration file.")
                                      : _("Too many arguments."));
    bool dump = command == "events";
    if (opts.png && !dump)
        return usage_error(_("Only events takes --png."));
    // A download with a history may keep what it read there alone.
    if (writes && !opts.output && !(dump && opts.png) && opts.no_history)
        return usage_error(_("The command needs -o FILE."));
    if (opts.iso && !dump)
        return usage_error(_("Only events takes --iso."));
    if (!writes && opts.output)
        return usage_error(_("Only download, events and report take -o."));
    if (command == "report" && !opts.output)
        return usage_error(_("The command needs -o FILE."));
    if (opts.engineer && command != "report")
        return usage_error(_("Only report takes --engineer."));
    if (opts.json && command != "info" && command != "diff" && command != "upload")
        return usage_error(_("Only info, diff and upload take --json."));
    if (opts.slave < 1 || opts.slave > 247)
        return usage_error(_("The slave address is 1 to 247."));
    if (opts.baud <= 0)
        return usage_error(_("The baud rate is a positive number."));
    if ((opts.dry_run || opts.all) && command != "upload")
        return usage_error(_("Only upload takes --dry-run and --all."));
    Parameters p;
    p.variant = variant_named(opts.variant);
    if (!p.variant)
        return usage_error(
            GCharPtr(g_strdup_printf(_("Unknown variant '%s'."), opts.variant)).get());
    if (opts.device && opts.port)
        return usage_error(_("Give --port or --device, not both."));
    if ((opts.slaves || opts.bauds) && command != "scan")
        return usage_error(_("Only scan takes --slaves and --bauds."));
    if (command == "list")
        return list();
    if (opts.device && !(opts.port = bridge_of(opts.device)))
        return EXIT_NOT_FOUND;
    if (command == "scan")
        return scan(p);
    if (command == "info")
        return info(p);
    if (command == "download")
        return download(p);
    if (command == "report")
        return report(p);
    if (command == "upload")
        return upload(p, argv[2], "upload");
    if (command == "diff")
        return diff(p, argv[2], nullptr);
    return events(p);
}

} // namespace

int main(int argc, char** argv) {
    init_text_domain();
    // Taken first, so that it runs after the temporaries are removed.
    for (int signal : {SIGINT, SIGTERM, SIGHUP})
        std::signal(signal, on_stopped);
    // A command ended by a signal leaves no temporary of its outputs behind.
    SafeFile::remove_temporaries_on_signals();
    int status = run(argc, argv);
    if (opts.json && !said.empty()) {
        Builder b = json_document();
        json_member(b.get(), "status", status);
        json_member(b.get(), "error", said.front());
        json_builder_set_member_name(b.get(), "details");
        json_builder_begin_array(b.get());
        for (size_t i = 1; i < said.size(); ++i)
            json_builder_add_string_value(b.get(), said[i].c_str());
        json_builder_end_array(b.get());
        json_print(b.get(), stderr);
    }
    return status;
}
