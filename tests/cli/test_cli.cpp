// kelvra-cli as a script runs it: the built program against kelvra-sim, its exit status, what it
// prints, the files it leaves and the requests that reached the controller.
#include "base/gmem.h"
#include "model/parameters.h"
#include "support/files.h"
#include "support/sim_harness.h"
#include <algorithm>
#include <csignal>
#include <unistd.h>
#include <sys/file.h>
#include <gio/gio.h>
#include <fcntl.h>
#include <filesystem>
#include <json-glib/json-glib.h>
#include <regex>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>

namespace {

using Lines = std::vector<std::string>;

using namespace test;

// The writes the simulator received, without their values.
Lines writes(const SimHarness& sim) {
    Lines out;
    for (const std::string& line : sim.log())
        if (line[0] == 'W')
            out.push_back(line.substr(0, line.find(' ', line.find(' ', 2) + 1)));
    return out;
}

// Throws when `from` is not there.
std::string replace(std::string text, const std::string& from, const std::string& to) {
    return text.replace(text.find(from), from.size(), to);
}

const auto error_line = [](const std::string& message) { return "kelvra-cli: " + message + "\n"; };

// What JSONPaths find in a document, each as compact JSON, one after the other:
// query(doc, {"$.schema", "$.changes[*].id"}) gives [1]["set_point_c.1"].
std::string query(const std::string& doc, std::initializer_list<const char*> paths) {
    std::unique_ptr<JsonParser, decltype(&g_object_unref)> parser(json_parser_new(),
                                                                  &g_object_unref);
    if (!json_parser_load_from_data(parser.get(), doc.c_str(), -1, nullptr))
        return "not JSON: " + doc;
    std::string out;
    for (const char* path : paths) {
        JsonNode* found = json_path_query(path, json_parser_get_root(parser.get()), nullptr);
        GCharPtr text(found ? json_to_string(found, FALSE) : g_strdup("?"));
        out += text.get();
        if (found)
            json_node_unref(found);
    }
    return out;
}

// Each command on each variant, with the MODBUS and the DNP3 port: a download, an upload of what
// was downloaded and a second download agree; a changed register is found by diff and reaches
// the controller by upload. The other variant's program is told what the controller is.
void layout(const char* program, const char* options) {
    SCOPED_TRACE(std::string(program) + " options " + options);
    bool rtd = std::string(program) == "kelvra0";
    SimHarness sim({"--baud", "0", "--variant", rtd ? "rtd" : "full", "--options", options});
    ASSERT_TRUE(sim.started());
    TempDir dir;
    const std::string variant = std::string("--variant=") + program,
                      other = rtd ? "kelvra" : "kelvra0";
    bool dnp3 = std::string(options) == "1"; // else 2: the MODBUS port and event memory
    const std::string port = dnp3 ? "DNP3" : "MODBUS";

    Outcome info = cli({variant, "info"});
    EXPECT_EQ(info.status, 0) << info.err;
    EXPECT_EQ(info.out, "Relays: 14\nPort: " + port + "\nEvent memory: " + (dnp3 ? "no" : "yes") +
                            "\nVariant: " + program + "\n");
    EXPECT_EQ(
        query(cli({variant, "--json", "info"}).out,
              {"$.schema", "$.relays", "$.port", "$.event_memory", "$.variant", "$.serial_port"}),
        std::string("[1][14][\"") + port + "\"][" + (dnp3 ? "false" : "true") + "][\"" + program +
            "\"][\"" + sim.port() + "\"]");
    Outcome wrong = cli({"--variant=" + other, "info"});
    EXPECT_EQ(wrong.out, info.out);
    EXPECT_EQ(wrong.err, error_line(std::string("The controller is a ") + program +
                                    "; this command was asked for " + other + "."));
    EXPECT_EQ(query(cli({"--variant=" + other, "--json", "info"}).out, {"$.variant_matches"}),
              "[false]");

    const std::string a = dir.path("a.cfg"), b = dir.path("b.cfg");
    Outcome down = cli({variant, "download", "-o", a});
    EXPECT_EQ(down.status, 0) << down.err;
    EXPECT_EQ(down.out + down.err, "");
    std::string saved = slurp(a);
    EXPECT_EQ(cli({variant, "diff", a}).status, 0);

    // What the controller holds already is not written again: the clock alone.
    sim.clear_log();
    EXPECT_EQ(cli({variant, "upload", a}).status, 0);
    EXPECT_EQ(writes(sim), Lines{"W 400 6"});
    EXPECT_EQ(cli({variant, "download", "-o", b}).status, 0);
    EXPECT_EQ(slurp(b), saved);

    // Relay 1's set point, 80 °C on the simulator, becomes 85, and its forced activation is
    // enabled: a choice, shown by its row as the window shows it.
    put(a, replace(replace(saved, "address=\"0\">80<", "address=\"0\">85<"), "address=\"80\">0<",
                   "address=\"80\">1<"));
    Outcome changed = cli({variant, "diff", a});
    EXPECT_EQ(changed.status, 1);
    EXPECT_EQ(changed.out,
              "Set Point (°C) 1 (register 0): controller 80, file 85\n"
              "Forced Activation 1 (register 80): controller Disabled, file Enabled\n");
    // For scripts the same in any language: ids, keys, raw values.
    g_setenv("LANGUAGE", "es", TRUE);
    g_setenv("LANG", "C.UTF-8", TRUE);
    std::string json = cli({variant, "--json", "diff", a}).out;
    g_unsetenv("LANGUAGE");
    EXPECT_EQ(query(json, {"$.schema", "$.differences[*].id", "$.differences[*].address",
                           "$.differences[*].unit", "$.differences[*].controller.raw",
                           "$.differences[*].file.raw", "$.differences[1].file.shown"}),
              "[1][\"set_point_c.1\",\"forced_activation.1\"][0,80][\"°C\",\"\"][80,0][85,1]"
              "[\"Activada\"]");
    EXPECT_EQ(cli({variant, "upload", a}).status, 0);
    EXPECT_EQ(cli({variant, "diff", a}).status, 0);
    // The other variant's map is never read under the wrong names.
    Outcome refused = cli({"--variant=" + other, "download", "-o", b});
    EXPECT_EQ(refused.status, 5);
    EXPECT_EQ(refused.err, error_line("The controller is a " + std::string(program) +
                                      "; this command was asked for " + other + "."));
}

TEST(Cli, InfoDownloadUploadDiffOnEachLayout) {
    for (auto [program, options] :
         {std::pair{"kelvra", "2"}, {"kelvra", "1"}, {"kelvra0", "2"}, {"kelvra0", "1"}})
        layout(program, options);
}

// What the program refuses, and how it says so, before a request could do harm.
TEST(Cli, RefusalsAndTheirExitStatus) {
    SimHarness sim({"--baud", "0", "--options", "0", "--relays", "15"});
    ASSERT_TRUE(sim.started());
    TempDir dir;
    const std::string good = dir.path("good.cfg"), none = dir.path("none.cfg"),
                      fifo = dir.path("fifo");
    mkfifo(fifo.c_str(), 0600); // that no program opens
    g_setenv("KELVRA_PIPE_WAIT_MS", "200", TRUE);
    ASSERT_EQ(cli({"download", "-o", good}).status, 0);
    std::string text = slurp(good);
    put(dir.path("rtd.cfg"), replace(text, "\"varnel\"", "\"varnel0\""));
    put(dir.path("gap.cfg"), replace(text, "address=\"210\"", "address=\"999\""));
    put(dir.path("cut.cfg"), text.substr(0, 3000));
    put(dir.path("empty.cfg"), "");
    sim.clear_log();
    // The arguments, the exit status and the message, after "kelvra-cli: ".
    const std::tuple<Lines, int, std::string> cases[] = {
        {{}, 2, "No command given.\nTry 'kelvra-cli --help'."},
        {{"erase"}, 2, "Unknown command 'erase'."},
        {{"download"}, 2, "The command needs -o FILE."},
        {{"info", "-o", "x"}, 2, "Only download, events and report take -o."},
        {{"upload"}, 2, "The command needs one configuration file."},
        {{"--dry-run", "events", "-o", "x"}, 2, "Only upload takes --dry-run and --all."},
        {{"--all", "info"}, 2, "Only upload takes --dry-run and --all."},
        {{"--png", "x.png", "download", "-o", "x"}, 2, "Only events takes --png."},
        {{"--variant=x", "info"}, 2, "Unknown variant 'x'."},
        {{"--colour", "info"}, 2, "Unknown option --colour"},
        {{"--port", none, "info"}, 3, "The port " + none + " does not exist."},
        {{"upload", none},
         5,
         "Cannot open configuration file " + none + ": No such file or directory."},
        {{"diff", fifo},
         5,
         "Cannot open configuration file " + fifo +
             ": no program opened the pipe to write into it."},
        {{"diff", dir.path("rtd.cfg")},
         5,
         "The file is a configuration for kelvra0, not for kelvra."},
        {{"diff", dir.path("cut.cfg")}, 5, "it ends before the closing </configuration>."},
        {{"upload", dir.path("empty.cfg")}, 5, "Invalid configuration file: the file is empty."},
        {{"upload", dir.path("gap.cfg")}, 5, "Parameter 'Line Frequency' not defined."},
        {{"events", "-o", dir.path("e.csv")}, 4, "This device does not feature event memory."},
        {{"download", "-o", dir.path("none/a.cfg")},
         5,
         "Error writing configuration file " + dir.path("none/a.cfg") +
             ": No such file or directory."},
        {{"download", "-o", fifo},
         5,
         "Error writing configuration file " + fifo +
             ": no program opened the pipe to read from it."},
    };
    for (const auto& [args, status, message] : cases) {
        Outcome r = cli(args);
        std::string what = ::testing::PrintToString(args);
        EXPECT_EQ(r.status, status) << what;
        EXPECT_TRUE(r.err.starts_with("kelvra-cli: ") && r.err.find(message + "\n") != r.err.npos)
            << what << ": " << r.err;
        EXPECT_EQ(r.out, "") << what;
    }
    EXPECT_EQ(writes(sim), Lines{});
    EXPECT_EQ(dir.entries(),
              (Lines{"cut.cfg", "empty.cfg", "fifo", "gap.cfg", "good.cfg", "rtd.cfg"}));
    g_unsetenv("KELVRA_PIPE_WAIT_MS");

    // The dry run shows the writes that the upload makes, and makes none; --all writes every
    // block, the relays' for the fourteen the map has.
    Outcome dry = cli({"--dry-run", "--all", "upload", good});
    EXPECT_EQ(dry.status, 0) << dry.err;
    EXPECT_TRUE(std::regex_search(dry.out, std::regex("^write 0 \\(14 registers\\): 80 90 ")));
    EXPECT_TRUE(std::regex_search(dry.out, std::regex("\nwrite 320 \\(3 registers\\): \\d+ \\d+ "
                                                      "\\d+\nwrite 400 \\(6 registers\\):")));
    EXPECT_EQ(writes(sim), Lines{});
    EXPECT_EQ(cli({"--all", "upload", good}).status, 0);
    EXPECT_EQ(writes(sim).size(), 13u);
    // A fifteenth relay is not transferred, and the program says so.
    Outcome info = cli({"info"});
    EXPECT_EQ(info.out, "Relays: 15\nPort: MODBUS\nEvent memory: no\nVariant: kelvra\n");
    EXPECT_EQ(info.err, error_line("Only relays 1 to 14 are transferred."));

    EXPECT_EQ(cli({"--version"}).out, "kelvra-cli 1.0.0\n");
    EXPECT_NE(cli({"--help"}).out.find("Exit status: 0 done"), std::string::npos);
}

// Upload refuses, before any write, a file of the other variant and values out of range or
// choices, naming each; what it writes it reads back, and a value the controller did not keep
// ends it with status 6, listed, in JSON too.
TEST(Cli, UploadRefusesWhatTheControllerCannotTake) {
    TempDir dir;
    const std::string full = dir.path("full.cfg"), rtd = dir.path("rtd.cfg"),
                      bad = dir.path("bad.cfg");
    const std::string fits = " with 6 relays and the MODBUS port";
    {
        SimHarness sim({"--baud", "0", "--relays", "6"});
        ASSERT_EQ(cli({"download", "-o", full}).status, 0);
    }
    {
        SimHarness sim({"--baud", "0", "--relays", "6", "--variant", "rtd"});
        ASSERT_EQ(cli({"--variant=kelvra0", "download", "-o", rtd}).status, 0);
        EXPECT_EQ(cli({"upload", full}).err,
                  error_line("The file is for kelvra" + fits + ", but the controller is kelvra0" +
                             fits + ": nothing was written."));
        EXPECT_EQ(writes(sim), Lines{});
    }
    SimHarness sim({"--baud", "0", "--relays", "6", "--clamp", "1:150"});
    std::string text = slurp(full);
    for (auto [address, value] : {std::pair{"0", "9999"}, {"1", "-1"}, {"210", "9"}, {"208", "20"}})
        text = std::regex_replace(text, std::regex("address=\"" + std::string(address) + "\">\\d+"),
                                  "address=\"" + std::string(address) + "\">" + value);
    put(bad, text);
    const std::pair<Lines, std::string> refusals[] = {
        {{"--variant=kelvra0", "upload", rtd},
         "The file is for kelvra0" + fits + ", but the controller is kelvra" + fits +
             ": nothing was written.\n"},
        {{"upload", bad},
         "4 values are not ones the controller accepts: nothing was written.\n"
         "kelvra-cli: Set Point (°C) 1: 9999; allowed: 0 to 200 °C\n"
         "kelvra-cli: Set Point (°C) 2: 65535; allowed: 0 to 200 °C\n"
         "kelvra-cli: tau: 2.0; allowed: 0 (off), or 3.0 to 120.0 min\n"
         "kelvra-cli: Line Frequency: 9; allowed: 0 (50 Hz), 1 (60 Hz)\n"},
    };
    for (const auto& [args, said] : refusals) {
        Outcome r = cli(args);
        EXPECT_EQ(r.status, 5);
        EXPECT_EQ(r.err, "kelvra-cli: " + said);
    }
    EXPECT_EQ(writes(sim), Lines{});

    put(full, replace(replace(slurp(full), "address=\"1\">90<", "address=\"1\">180<"),
                      "address=\"0\">80<", "address=\"0\">85<"));
    Outcome kept = cli({"--json", "upload", full});
    EXPECT_EQ(kept.status, 6);
    EXPECT_EQ(query(kept.out, {"$.changes[*].id", "$.kept[*].id", "$.kept[*].written.raw",
                               "$.kept[*].kept.raw"}),
              "[\"set_point_c.1\",\"set_point_c.2\"][\"set_point_c.2\"][180][150]");
    EXPECT_EQ(query(kept.err, {"$.status", "$.error"}),
              "[6][\"The controller kept a different value for 1 parameter.\"]");
    EXPECT_EQ(writes(sim), (Lines{"W 0 6", "W 400 6"}));
    Outcome again = cli({"upload", full});
    EXPECT_EQ(again.status, 6);
    EXPECT_TRUE(again.out.starts_with("Set Point (°C) 2 (register 1): file 180, controller 150\n"
                                      "write 0 (6 registers): 85 180 "))
        << again.out;
    EXPECT_TRUE(again.out.ends_with("The controller kept other values:\n"
                                    "Set Point (°C) 2 (register 1): written 180, kept 150\n"))
        << again.out;
}

// Whatever -o names gets the configuration and stays what it was: a regular file, with a name as
// long as names go, is replaced; anything else is written straight into.
TEST(Cli, DownloadWritesIntoWhatItIsGiven) {
    SimHarness sim({"--baud", "0"});
    ASSERT_TRUE(sim.started());
    TempDir dir;
    const std::string file = dir.path(std::string(255, 'a')), fifo = dir.path("fifo"),
                      socket_path = dir.path("socket");
    put(file, "old");
    mkfifo(fifo.c_str(), 0600);
    symlink("fifo", dir.path("to-fifo").c_str());
    symlink("/proc/self/fd/1", dir.path("to-out").c_str());
    // As root, a device of the test's own: a fault must not replace the system's /dev/null.
    std::string null = geteuid() ? "/dev/null" : dir.path("null");
    if (!geteuid()) {
        ASSERT_EQ(mknod(null.c_str(), S_IFCHR | 0666, makedev(1, 3)), 0);
    }
    sockaddr_un address{AF_UNIX, {}};
    socket_path.copy(address.sun_path, sizeof address.sun_path - 1);
    int server = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
    ASSERT_EQ(bind(server, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    listen(server, 1);
    auto drain = [](int fd) {
        std::string got;
        char chunk[4096];
        for (ssize_t n; (n = read(fd, chunk, sizeof chunk)) > 0;)
            got.append(chunk, static_cast<size_t>(n));
        close(fd);
        return got;
    };
    // Where the configuration is read back from.
    enum From { FILE_ITSELF, PIPE, OUT, SOCKET, NOWHERE };
    const std::pair<std::string, From> cases[] = {{file, FILE_ITSELF},
                                                  {fifo, PIPE},
                                                  {dir.path("to-fifo"), PIPE},
                                                  {"-", OUT},
                                                  {dir.path("to-out"), OUT},
                                                  {socket_path, SOCKET},
                                                  {null, NOWHERE}};
    std::string saved;
    for (const auto& [path, from] : cases) {
        SCOPED_TRACE(path);
        std::string seen = path == "-" ? binary_path("-") : path; // -: no file where it runs
        auto kind = std::filesystem::symlink_status(seen).type();
        int reader = from == PIPE ? open(fifo.c_str(), O_RDONLY | O_NONBLOCK) : -1;
        Outcome r = cli({"download", "-o", path});
        EXPECT_EQ(r.status, 0) << r.err;
        reader = from == SOCKET ? accept(server, nullptr, nullptr) : reader;
        std::string got = from == FILE_ITSELF ? slurp(path)
                          : from == OUT       ? r.out
                          : from == NOWHERE   ? saved
                                              : drain(reader);
        saved = saved.empty() ? got : saved;
        EXPECT_EQ(got, saved);
        EXPECT_EQ(std::filesystem::symlink_status(seen).type(), kind);
    }
    close(server);
    EXPECT_TRUE(saved.starts_with("<configuration"));
    Lines left = {file.substr(file.rfind('/') + 1), "fifo", "socket", "to-fifo", "to-out"};
    if (!geteuid())
        left.insert(left.begin() + 2, "null");
    EXPECT_EQ(dir.entries(), left);
}

// Ended by a signal part way through the dump, the command ends by that signal and leaves no file
// behind, not even its temporaries. Stopped by Ctrl-C, it says how long the controller may go on
// sending, and the next command waits for the line to fall silent, and says so.
TEST(Cli, ACommandEndedByASignalLeavesNothing) {
    for (int signal : {SIGINT, SIGTERM, SIGPIPE, SIGQUIT, SIGUSR1, SIGALRM, SIGRTMIN}) {
        SCOPED_TRACE(strsignal(signal));
        SimHarness sim({"--baud", "115200"}); // the dump takes seconds
        ASSERT_TRUE(sim.started());
        TempDir dir;
        std::string program = binary_path("kelvra-cli"), csv = dir.path("e.csv"),
                    png = dir.path("e.png");
        const char* argv[] = {program.c_str(), "--no-history", "events",    "-o",
                              csv.c_str(),     "--png",        png.c_str(), nullptr};
        // The signal's default action whatever the test's runner set, and no core dump.
        auto reset = [](gpointer signal) {
            std::signal(*static_cast<int*>(signal), SIG_DFL);
            rlimit none{};
            setrlimit(RLIMIT_CORE, &none);
        };
        GPid pid = 0;
        int err = -1;
        ASSERT_TRUE(g_spawn_async_with_pipes(nullptr, const_cast<char**>(argv), nullptr,
                                             G_SPAWN_DO_NOT_REAP_CHILD, reset, &signal, &pid,
                                             nullptr, nullptr, &err, nullptr));
        for (int wait = 0; wait < 500 && dir.entries().size() < 2; ++wait)
            g_usleep(10 * 1000);
        g_usleep((signal == SIGINT ? 1200 : 300) * 1000);
        kill(pid, signal);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << status;
        EXPECT_EQ(dir.entries(), Lines{});
        char said[512] = {};
        ssize_t n = read(err, said, sizeof said - 1);
        close(err);
        if (signal != SIGINT)
            continue;
        EXPECT_GT(n, 0);
        EXPECT_STREQ(said, "kelvra-cli: Interrupted: the controller may go on sending its event "
                           "memory for up to 6 s; the next command waits for it.\n");
        Outcome next = cli({"info"});
        EXPECT_EQ(next.status, 0);
        EXPECT_TRUE(std::regex_match(next.err, std::regex("kelvra-cli: The controller was still "
                                                          "sending \\(\\d+ bytes of an interrupted "
                                                          "event download\\); waited for it to "
                                                          "finish\\.\n")))
            << next.err;
    }
}

// ser2net serving the simulator's pseudo-terminal as RFC 2217 on a port of 127.0.0.1; stopped
// at the end.
class Ser2net {
  public:
    Ser2net(const std::string& device, int port) {
        put(dir_.path("ser2net.yaml"),
            "connection: &k\n  accepter: telnet(rfc2217),tcp,127.0.0.1," + std::to_string(port) +
                "\n  connector: serialdev," + device + ",115200n81,local\n");
        std::string config = dir_.path("ser2net.yaml");
        const char* argv[] = {"ser2net", "-n", "-d", "-c", config.c_str(), nullptr};
        g_spawn_async(nullptr, const_cast<char**>(argv), nullptr,
                      GSpawnFlags(G_SPAWN_SEARCH_PATH | G_SPAWN_DO_NOT_REAP_CHILD |
                                  G_SPAWN_STDOUT_TO_DEV_NULL | G_SPAWN_STDERR_TO_DEV_NULL),
                      nullptr, nullptr, &pid_, nullptr);
        // Listening once a connection is taken.
        for (int i = 0; i < 200 && !listening(port); ++i)
            g_usleep(20 * 1000);
    }
    ~Ser2net() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
    }
    static bool listening(int port) {
        std::unique_ptr<GSocketClient, decltype(&g_object_unref)> client(g_socket_client_new(),
                                                                         &g_object_unref);
        GSocketConnection* c = g_socket_client_connect_to_host(
            client.get(), "127.0.0.1", static_cast<guint16>(port), nullptr, nullptr);
        if (c)
            g_object_unref(c);
        return c != nullptr;
    }

  private:
    TempDir dir_;
    GPid pid_ = 0;
};

// The same controller reached over its pseudo-terminal, a serial device server (raw TCP and
// RFC 2217 through ser2net) and a MODBUS TCP gateway gives the same file; a slave elsewhere on
// the line is found by a scan; what keeps a port closed is said with its name; a line that
// trickles ends; an interrupted event download is said, and waited out by the next command.
TEST(Cli, ReachesTheControllerAnyWayAndSaysWhyNot) {
    TempDir dir;
    const std::string by_pty = dir.path("pty.cfg"), by_net = dir.path("net.cfg"),
                      trace = dir.path("trace");
    std::string saved;
    {
        SimHarness sim({"--baud", "0", "--slave", "5"});
        ASSERT_TRUE(sim.started());
        Outcome down = cli({"--slave", "5", "--stats", "--trace", trace, "download", "-o", by_pty});
        EXPECT_EQ(down.status, 0) << down.err;
        EXPECT_TRUE(std::regex_match(down.err, std::regex("kelvra-cli: Link: 15 requests, 15 "
                                                          "replies, 0 timeouts, .* most\\)\\.\n")))
            << down.err;
        EXPECT_TRUE(
            std::regex_search(slurp(trace), std::regex("^\\d+\\.\\d{6} > 05 03 ff f0 00 09 "
                                                       "[0-9a-f ]+\n\\d+\\.\\d{6} < 05 03 12")));
        saved = slurp(by_pty);
        EXPECT_EQ(cli({"scan", "--slaves", "1-6"}).out, "5 115200 14 kelvra\n");
        int port = 20000 + static_cast<int>(getpid() % 20000);
        if (g_find_program_in_path("ser2net")) {
            Ser2net server(sim.port(), port);
            Outcome r = cli({"--port", "rfc2217://127.0.0.1:" + std::to_string(port), "--slave",
                             "5", "download", "-o", by_net});
            EXPECT_EQ(r.status, 0) << r.err;
            EXPECT_EQ(slurp(by_net), saved);
        } else {
            ADD_FAILURE() << "ser2net is not installed (scripts/deps.sh installs it)";
        }
    }
    for (const char* kind : {"--tcp", "--mbap"}) {
        SimHarness sim({"--baud", "0", kind, "0"});
        ASSERT_TRUE(sim.started());
        std::string url =
            std::string(kind) == "--tcp" ? sim.port() : replace(sim.port(), "tcp:", "modbus-tcp:");
        std::remove(by_net.c_str());
        Outcome r = cli({"--port", url, "download", "-o", by_net});
        EXPECT_EQ(r.status, 0) << kind << r.err;
        EXPECT_EQ(slurp(by_net), saved) << kind;
        if (std::string(kind) == "--mbap") {
            Outcome events = cli({"--port", url, "events", "-o", dir.path("e.csv")});
            EXPECT_EQ(events.status, 4);
            EXPECT_NE(events.err.find("cannot pass a MODBUS TCP gateway"), std::string::npos);
        }
    }

    SimHarness sim({"--baud", "20"}); // two bytes a second
    ASSERT_TRUE(sim.started());
    int held = open(sim.port().c_str(), O_RDWR | O_NOCTTY);
    flock(held, LOCK_EX);
    const std::pair<std::string, std::string> closed[] = {
        {"/nonexistent/ttyUSB9", "The port /nonexistent/ttyUSB9 does not exist."},
        {sim.port(), "The port " + sim.port() + " is in use by another program."},
        {"tcp://127.0.0.1:1", "Nothing accepts connections at 127.0.0.1:1."},
        {"serial://x", "serial://x is no port this program can reach: give a serial device, or "
                       "tcp://, rfc2217:// or modbus-tcp:// with HOST:PORT."},
    };
    for (const auto& [where, said] : closed) {
        Outcome r = cli({"--port", where, "info"});
        EXPECT_EQ(std::pair(r.status, r.err), std::pair(3, error_line(said)));
    }
    close(held);
    EXPECT_EQ(cli({"info"}).err, error_line(COMM)) << "ended by the reply's deadline";

    // A port the user may not open, as a user outside the dialout group meets it (root drops to
    // nobody for it).
    const std::string locked = dir.path("ttyS9");
    put(locked, "");
    chmod(locked.c_str(), 0600);
    chmod(dir.path().c_str(), 0755);
    std::string program = binary_path("kelvra-cli");
    const char* argv[] = {program.c_str(), "--port", locked.c_str(), "info", nullptr};
    auto as_nobody = [](gpointer) {
        if (getuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
            _exit(99);
    };
    if (getuid() != 0)
        chmod(locked.c_str(), 0);
    gchar* err = nullptr;
    int wait = 0;
    ASSERT_TRUE(g_spawn_sync(nullptr, const_cast<char**>(argv), nullptr, G_SPAWN_STDOUT_TO_DEV_NULL,
                             as_nobody, nullptr, nullptr, &err, &wait, nullptr));
    GCharPtr owned(err);
    EXPECT_EQ(std::string(err), error_line("You may not open the port " + locked +
                                           ": join the dialout group (sudo usermod -aG dialout "
                                           "$USER) and log in again."));
}

// The controllers' bridges attached, by USB serial number, in a sysfs tree of the test's own.
TEST(Cli, ListsTheBridgesAndPicksOneBySerial) {
    namespace fs = std::filesystem;
    TempDir dir;
    const fs::path root = dir.path(), usb = root / "devices/usb1/1-1";
    fs::create_directories(usb / "1-1:1.0/ttyUSB7");
    fs::create_directories(root / "class/tty/ttyUSB7");
    fs::create_symlink(usb / "1-1:1.0/ttyUSB7", root / "class/tty/ttyUSB7/device");
    put((usb / "idVendor").string(), "0403\n");
    put((usb / "product").string(), "UNIT-B/2\n");
    put((usb / "serial").string(), "FT12AB\n");
    g_setenv("KELVRA_SYSFS", root.c_str(), TRUE);
    EXPECT_EQ(cli({"list"}).out, "/dev/ttyUSB7\tUNIT-B/2\tFT12AB\tfree\n");
    EXPECT_EQ(cli({"--device", "FT12AB", "info"}).err,
              error_line("The port /dev/ttyUSB7 does not exist."));
    Outcome none = cli({"--device", "FT99", "info"});
    EXPECT_EQ(std::pair(none.status, none.err),
              std::pair(3, error_line("No controller's USB bridge with serial number FT99 is "
                                      "attached.")));
    g_unsetenv("KELVRA_SYSFS");
}

// Each transfer of a named asset is a version in its git history: the download, the backup
// before an upload and what the controller holds after it, with what changed in the message.
// A history that cannot be used is said with its path, never rewritten, and stops an upload
// before any write.
TEST(Cli, TheHistoryKeepsEveryTransfer) {
    SimHarness sim({"--baud", "0", "--relays", "2", "--events", "50"});
    ASSERT_TRUE(sim.started());
    TempDir dir;
    const std::string history = dir.path("history"), file = dir.path("a.cfg");
    const std::vector<std::string> site = {"--asset", "site12", "--history", history};
    auto run = [&site](std::vector<std::string> args) {
        args.insert(args.begin(), site.begin(), site.end());
        return cli(args);
    };
    EXPECT_EQ(run({"download"}).status, 0) << "no -o: the history keeps it";
    ASSERT_EQ(cli({"download", "-o", file}).status, 0);
    EXPECT_EQ(slurp(history + "/site12/config.cfg"), slurp(file));
    EXPECT_TRUE(slurp(history + "/site12/settings.txt")
                    .starts_with("Relays | Set Point (°C) 1 | 80 °C\nRelays | Set Point (°C) 2 | "
                                 "90 °C\nRelays | Hysteresis (°C) 1 |"));
    put(file, replace(slurp(file), "address=\"0\">80<", "address=\"0\">81<"));
    EXPECT_EQ(run({"upload", file}).status, 0);
    Outcome versions = run({"history", "site12"});
    std::regex line("[0-9a-f]{7}  \\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d  .+  (.*)");
    Lines actions;
    std::istringstream in(versions.out);
    for (std::string l; std::getline(in, l);)
        if (std::smatch m; std::regex_match(l, m, line))
            actions.push_back(m[1]);
    EXPECT_EQ(actions, (Lines{"upload site12: a.cfg, Set Point (°C) 1 80 °C -> 81 °C",
                              "backup site12: before upload", "download site12"}))
        << versions.out;
    EXPECT_NE(slurp(history + "/site12/settings.txt").find("Set Point (°C) 1 | 81 °C"),
              std::string::npos);
    // Versions compare with each other and with files, without a controller; one goes back into
    // the controller through the same checks and records as an upload.
    sim.clear_log();
    Outcome two = run({"diff", "site12@HEAD~2", "site12@HEAD"});
    EXPECT_EQ(std::pair(two.status, two.out),
              std::pair(1, std::string("Set Point (°C) 1 (register 0): site12@HEAD 81, "
                                       "site12@HEAD~2 80\n")));
    EXPECT_EQ(run({"diff", file, "site12@HEAD"}).status, 0);
    EXPECT_EQ(sim.log(), Lines{}) << "no controller asked";
    EXPECT_EQ(run({"restore", "site12@HEAD~2"}).status, 0);
    EXPECT_EQ(writes(sim), (Lines{"W 0 2", "W 400 6"}));
    EXPECT_TRUE(std::regex_search(run({"history", "site12"}).out,
                                  std::regex("^[0-9a-f]{7} .* restore site12: site12@[0-9a-f]{7}, "
                                             "Set Point \\(°C\\) 1 81 °C -> 80 °C\n")));

    // Each event download is a version: its records merged into the asset's, each once, in the
    // layout that explains itself (-o keeps the export's, --iso writes this download's records in
    // it). A later download that no longer holds some records keeps them. The history writes and
    // draws them without a controller.
    const std::string events = history + "/site12/events.csv";
    SimHarness more({"--baud", "0", "--relays", "2", "--events", "60"});
    ASSERT_TRUE(more.started());
    EXPECT_EQ(run({"--port", more.port(), "events", "-o", dir.path("e.csv")}).status, 0);
    EXPECT_EQ(std::ranges::count(slurp(dir.path("e.csv")), '\n'), 3585);
    EXPECT_EQ(run({"--port", sim.port(), "events", "--iso", "-o", dir.path("e2.csv")}).status, 0);
    std::string merged = slurp(events), fewer = slurp(dir.path("e2.csv"));
    EXPECT_TRUE(merged.starts_with(fewer) && merged != fewer) << fewer;
    EXPECT_TRUE(
        merged.starts_with("# Event records of a temperature controller\n# tool: kelvra-cli "))
        << merged;
    EXPECT_NE(merged.find("\n# asset: site12\n# usb serial: \n# variant: kelvra\n# time zone: UTC"),
              std::string::npos);
    EXPECT_NE(merged.find(",Wdg. 3,Relay 1,Relay 2\n2025-01-01T00:"), std::string::npos);
    EXPECT_EQ(std::ranges::count(merged.substr(merged.find("\nTime,") + 1), '\n'), 1 + 60)
        << merged;
    EXPECT_EQ(
        run({"events", "site12", "-o", dir.path("all.csv"), "--png", dir.path("all.png")}).status,
        0);
    EXPECT_EQ(slurp(dir.path("all.csv")), merged);
    EXPECT_TRUE(slurp(dir.path("all.png")).starts_with("\x89PNG"));
    EXPECT_TRUE(run({"history", "site12"}).out.find("  events site12\n") != std::string::npos);

    // No name, no history: said. A file or a folder of something else in the way: said, kept.
    EXPECT_EQ(cli({"--history", history, "download", "-o", file}).err,
              error_line("No history was kept: name the asset with --asset NAME."));
    put(dir.path("in-the-way"), "mine\n");
    std::filesystem::create_directory(dir.path("other"));
    put(dir.path("other/notes"), "mine\n");
    sim.clear_log();
    for (const std::string& place : {dir.path("in-the-way"), dir.path("other")}) {
        Outcome r = cli({"--asset", "x", "--history", place, "upload", file});
        EXPECT_EQ(r.status, 5);
        EXPECT_TRUE(r.err.starts_with("kelvra-cli: The history cannot be used: " + place + ": "))
            << r.err;
    }
    EXPECT_EQ(writes(sim), Lines{});
    EXPECT_EQ(slurp(dir.path("in-the-way")) + slurp(dir.path("other/notes")), "mine\nmine\n");
}

// The commissioning report reads the controller as it is and keeps that as a version; it
// names the controller and how it was reached, gives every setting with its unit and the
// SHA-256 of the file a download writes, the last upload's read-back (the controller clamps
// one value) and changes, the latest events; and it numbers its pages. Without a history it
// says so.
TEST(Cli, TheReportOfAControllerAndItsHistory) {
    SimHarness sim({"--baud", "0", "--relays", "3", "--events", "80", "--clamp", "20:5"});
    ASSERT_TRUE(sim.started());
    TempDir dir;
    const std::string file = dir.path("b.cfg"), pdf = dir.path("r.pdf");
    auto run = [&dir](std::vector<std::string> args) {
        args.insert(args.begin(), {"--asset", "site12", "--history", dir.path("history")});
        return cli(args);
    };
    ASSERT_EQ(run({"download", "-o", file}).status, 0);
    put(file, replace(replace(slurp(file), "address=\"0\">80<", "address=\"0\">81<"),
                      "address=\"20\">5<", "address=\"20\">7<"));
    EXPECT_EQ(run({"upload", file}).status, 6);
    ASSERT_EQ(run({"events"}).status, 0);
    Outcome made = run({"report", "-o", pdf, "--engineer", "Ana Ruiz"});
    ASSERT_EQ(made.status, 0) << made.err;
    EXPECT_TRUE(run({"history", "site12"}).out.find("  report site12\n") != std::string::npos);
    ASSERT_EQ(cli({"download", "-o", dir.path("now.cfg")}).status, 0);
    std::string now = slurp(dir.path("now.cfg"));
    GCharPtr sha(g_compute_checksum_for_string(G_CHECKSUM_SHA256, now.c_str(), now.size()));

    // Each page ends with its footer and number; the text flows on across them.
    std::string text = pdf_text(pdf);
    long pages = std::ranges::count(text, '\f');
    EXPECT_GE(pages, 2);
    for (long page = 1; page <= pages; ++page) {
        std::string footer = "Commissioning report of site12, ";
        size_t at = text.find(footer);
        ASSERT_NE(at, std::string::npos) << page;
        size_t end = text.find('\f', at);
        EXPECT_TRUE(
            std::regex_match(text.substr(at + footer.size(), end - at - footer.size()),
                             std::regex("\\d{4}-\\d\\d-\\d\\d Page " + std::to_string(page) +
                                        " of " + std::to_string(pages) + " ")));
        text.erase(at, end + 1 - at);
    }
    for (const std::string& said :
         Lines{"Asset site12 ",
               "Program kelvra Relays 3 Communication port MODBUS Event memory yes Reached by " +
                   sim.port() + " Slave address 1 Baud rate 115200 ",
               "Engineer Ana Ruiz ", std::string("SHA-256 of the configuration file: ") + sha.get(),
               "Relay 1 Set Point (°C) 1 81 °C Hysteresis (°C) 1 5 °C ", "Timeout 3 10.0 s ",
               "Winding temperature Delta T1 20 °C ", "In 1 5.0 A ", "MODBUS Address 1 ",
               "Read back the controller kept other values: Hysteresis (°C) 1 written 7 °C, kept 5 "
               "°C. What the upload changed Set Point (°C) 1 80 °C → 81 °C Changed on the "
               "controller since Nothing: the controller holds the settings that upload left.",
               "The latest event download: 2025-01-01 00:10:00 to ", "80 records (of 80 kept)"})
        EXPECT_NE(text.find(said), std::string::npos) << said << "\nin: " << text;

    Outcome bare = cli({"report", "-o", pdf});
    EXPECT_EQ(bare.status, 0) << bare.err;
    text = pdf_text(pdf);
    for (const char* said : {"No history is kept of this controller.",
                             "The history holds no event records of this controller."})
        EXPECT_NE(text.find(said), std::string::npos) << said;
}

// Two histories share one remote: each keeps its own assets, an asset both changed keeps both
// versions and takes the later, and nothing is lost; a history without a remote stays as it is.
TEST(Cli, HistoriesShareThroughARemote) {
    SimHarness sim({"--baud", "0", "--relays", "2"});
    ASSERT_TRUE(sim.started());
    TempDir dir;
    const std::string a = dir.path("a"), b = dir.path("b"), remote = dir.path("remote.git"),
                      file = dir.path("x.cfg");
    auto git = [](const std::string& args) { return std::system(("git " + args + " -q").c_str()); };
    auto in = [](const std::string& history, std::vector<std::string> args) {
        args.insert(args.begin(), {"--asset", "site12", "--history", history});
        return cli(args);
    };
    ASSERT_EQ(in(a, {"download"}).status, 0);
    Outcome alone = in(a, {"sync"});
    EXPECT_EQ(alone.status, 5);
    EXPECT_NE(alone.err.find("no remote (origin)"), std::string::npos) << alone.err;
    ASSERT_EQ(git("init --bare -b main " + remote), 0);
    ASSERT_EQ(std::system(("git -C " + a + " remote add origin " + remote).c_str()), 0);
    EXPECT_EQ(in(a, {"sync"}).out, "shared with " + remote + "\n");
    ASSERT_EQ(git("clone " + remote + " " + b), 0);
    // Both keep event records of the asset: the one from a download, the other from a record
    // only it has (written by hand here).
    ASSERT_EQ(in(a, {"events"}).status, 0);
    put(b + "/site12/events.csv", "Time,RTD1,RTD2,RTD3,RTD4,RTD5,RTD6,Oil,Wdg. 1,Wdg. 2,Wdg. 3,"
                                  "Relay 1,Relay 2\n2024-06-01T00:00:00.000Z,1,2,3,4,5,6,7,8,9,10,"
                                  "Open,Closed\n");
    ASSERT_EQ(std::system(("git -C " + b + " add site12 && git -C " + b +
                           " -c user.name=T -c user.email=t@example.com commit -qm e")
                              .c_str()),
              0);
    for (const auto& [history, value] : {std::pair{a, "81"}, {b, "82"}}) {
        put(file,
            std::regex_replace(slurp(a + "/site12/config.cfg"), std::regex("address=\"0\">\\d+<"),
                               std::string("address=\"0\">") + value + "<"));
        EXPECT_EQ(in(history, {"upload", file}).status, 0);
    }
    for (const std::string& history : {a, b, a})
        EXPECT_EQ(in(history, {"sync"}).status, 0);
    for (const std::string& history : {a, b})
        EXPECT_NE(slurp(history + "/site12/config.cfg").find("address=\"0\">82<"),
                  std::string::npos);
    std::string events = slurp(a + "/site12/events.csv");
    EXPECT_EQ(slurp(b + "/site12/events.csv"), events);
    EXPECT_NE(events.find("\n2024-06-01T00:00:00.000+"), std::string::npos);
    EXPECT_EQ(std::ranges::count(events.substr(events.find("\nTime,") + 1), '\n'), 1 + 3584 + 1);
    std::string versions = in(a, {"history", "site12"}).out;
    for (const char* kept : {"Set Point (°C) 1 80 °C -> 81 °C", "Set Point (°C) 1 81 °C -> 82 °C"})
        EXPECT_NE(versions.find(kept), std::string::npos) << versions;
}

// Every fault the simulator injects into the requests of a command: the window's message, its
// exit status, and no output file, not even a part of one.
TEST(Cli, EachFaultEndsWithTheMessageAndNoFile) {
    // The command, the fault, the first register of the request it hits, the message (null: the
    // command succeeds).
    const std::tuple<std::string, const char*, const char*, const char*> cases[] = {
        // A fault of each message in each command: the link's answer to every fault is run
        // through the window by its fault-injection tests.
        {"download", "no-reply", "65520", COMM},    {"download", "hangup", "200", COMM},
        {"download", "exception", "200", PROTOCOL}, {"download", "wrong-count", "200", UNKNOWN},
        {"download", "split", "200", nullptr},      {"upload", "exception", "300", PROTOCOL},
        {"upload", "wrong-count", "300", UNKNOWN},  {"events", "hangup", "65504", COMM},
        {"events", "short-dump", "65504", UNKNOWN}, {"events", "long-dump", "65504", UNKNOWN},
        {"events", "split", "65504", nullptr},
    };
    TempDir dir;
    const std::string file = dir.path("out"), held = dir.path("held.cfg");
    {
        SimHarness clean({"--baud", "0", "--options", "3"}); // what it holds, to upload
        ASSERT_EQ(cli({"download", "-o", held}).status, 0);
    }
    for (const auto& [command, fault, address, message] : cases) {
        SCOPED_TRACE(command + " " + fault + " " + address);
        SimHarness sim(
            {"--baud", "0", "--options", "3", "--fault", fault, "--fault-address", address});
        ASSERT_TRUE(sim.started());
        bool upload = command == "upload";
        Outcome r = upload ? cli({"upload", held}) : cli({command, "-o", file});
        EXPECT_EQ(r.status, message ? 4 : 0);
        EXPECT_EQ(r.err, message ? error_line(message) : "");
        EXPECT_EQ(dir.entries(),
                  message || upload ? Lines{"held.cfg"} : (Lines{"held.cfg", "out"}));
        // The export's golden file, decoded apart from the tool (tests/data/make_events_csv.py).
        if (command == "events" && !message) {
            EXPECT_EQ(slurp(file), slurp(source_path("tests/data/events_sim_full.csv")));
        }
        std::remove(file.c_str());
    }
}

TEST(ParameterModel, ValuesInTheWindowsUnits) {
    std::vector<Parameter> map = parameter_map(variant_full);
    // A timeout in tenths of a second, the start of daily cooling, a year, and a choice without
    // rows: its number.
    for (auto [address, value, shown] :
         {std::tuple{40, 125, "12.5"}, {211, 425, "07:05"}, {405, 26, "2026"}, {60, 2, "2"}})
        EXPECT_EQ(value_text(*find_parameter(map, address), value), shown) << address;
    EXPECT_EQ(choice_rows(*find_parameter(map, 93)), (Lines{"Disabled", "Enabled"}));
    const Parameter& baud = *find_parameter(map, 320);
    EXPECT_EQ(value_text(baud, 4, choice_rows(baud)), "19200");
    EXPECT_EQ(choice_rows(*find_parameter(map, 207), 4)[3], "1-2 and 3-4");
    EXPECT_EQ(find_parameter(map, 14), nullptr);
    EXPECT_FALSE(in_map(variant_full, 14)); // a fifteenth relay
    EXPECT_FALSE(in_map(variant_rtd, 120));
}

} // namespace
