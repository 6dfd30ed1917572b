// kelvra-cli as a script runs it: the built program against kelvra-sim, its exit status, what it
// prints, the files it leaves and the requests that reached the controller.
#include "link/serial.h"
#include "model/parameters.h"
#include "plot/eventplot.h"
#include "support/files.h"
#include "support/sim_harness.h"
#include "text/choices.h"

#include <algorithm>
#include <csignal>
#include <sys/wait.h>
#include <regex>

namespace {

using Lines = std::vector<std::string>;

using test::cli;
using test::Outcome;

// The writes the simulator received, without their values.
Lines writes(const test::SimHarness& sim) {
    Lines out;
    for (const std::string& line : sim.log())
        if (line[0] == 'W')
            out.push_back(line.substr(0, line.find(' ', line.find(' ', 2) + 1)));
    return out;
}

std::string replace(std::string text, const std::string& from, const std::string& to) {
    size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

std::string error_line(const char* message) {
    return std::string("kelvra-cli: ") + message + "\n";
}

const char* COMM = "Communication error -- check your USB connection.";
const char* PROTOCOL = "Protocol error -- equipment is incompatible with this software.";
const char* UNKNOWN = "Unknown communication error.";

struct Layout {
    const char* variant; // of the program and the simulator
    const char* options;
};

class CliLayouts : public ::testing::TestWithParam<Layout> {};

// Each command on each variant, with the MODBUS and the DNP3 port: a download, an upload of what
// was downloaded and a second download agree; a changed register is found by diff and reaches
// the controller by upload.
TEST_P(CliLayouts, InfoDownloadUploadDiff) {
    const Layout& l = GetParam();
    bool rtd = std::string(l.variant) == "kelvra0";
    test::SimHarness sim(
        {"--baud", "0", "--variant", rtd ? "rtd" : "full", "--options", l.options});
    ASSERT_TRUE(sim.started());
    test::TempDir dir;
    const std::string variant = std::string("--variant=") + l.variant;
    bool dnp3 = std::string(l.options) == "1"; // else 2: the MODBUS port and event memory

    Outcome info = cli({variant, "info"});
    EXPECT_EQ(info.status, 0) << info.err;
    EXPECT_EQ(info.out, std::string("Relays: 14\nPort: ") + (dnp3 ? "DNP3" : "MODBUS") +
                            "\nEvent memory: " + (dnp3 ? "no" : "yes") + "\nVariant: " + l.variant +
                            "\n");
    Outcome json = cli({variant, "--json", "info"});
    EXPECT_EQ(json.out, std::string("{\"relays\": 14, \"options\": ") + l.options +
                            ", \"port\": \"" + (dnp3 ? "DNP3" : "MODBUS") +
                            "\", \"event_memory\": " + (dnp3 ? "false" : "true") +
                            ", \"variant\": \"" + l.variant + "\", \"variant_matches\": true}\n");

    const std::string a = dir.path("a.cfg"), b = dir.path("b.cfg");
    Outcome down = cli({variant, "download", "-o", a});
    EXPECT_EQ(down.status, 0) << down.err;
    EXPECT_EQ(down.out + down.err, "");
    std::string saved = test::slurp(a);
    EXPECT_NE(saved.find(std::string("<device name=\"") + (rtd ? "varnel0" : "varnel") + "\">"),
              std::string::npos);
    EXPECT_NE(saved.find(dnp3 ? "address=\"347\"" : "address=\"322\""), std::string::npos);

    Outcome same = cli({variant, "diff", a});
    EXPECT_EQ(same.status, 0) << same.err;
    EXPECT_EQ(same.out, "");

    sim.clear_log();
    EXPECT_EQ(cli({variant, "upload", a}).status, 0);
    Lines expected = {"W 0 14", "W 20 14"};
    if (!rtd)
        expected.insert(expected.end(), {"W 120 14", "W 140 14"});
    expected.insert(expected.end(), {"W 40 14", "W 60 14", "W 80 14", "W 100 14", "W 160 14",
                                     rtd ? "W 200 5" : "W 200 14", "W 300 2",
                                     dnp3 ? "W 340 8" : "W 320 3", "W 400 6"});
    EXPECT_EQ(writes(sim), expected);
    EXPECT_EQ(cli({variant, "download", "-o", b}).status, 0);
    EXPECT_EQ(test::slurp(b), saved);

    // Relay 1's set point, 80 °C on the simulator, becomes 85, and its forced activation is
    // enabled: a choice, shown by its row as the window shows it.
    test::put(a, replace(replace(saved, "address=\"0\">80<", "address=\"0\">85<"),
                         "address=\"80\">0<", "address=\"80\">1<"));
    Outcome changed = cli({variant, "diff", a});
    EXPECT_EQ(changed.status, 1);
    EXPECT_EQ(changed.out,
              "Set Point (°C) 1 (register 0): controller 80, file 85\n"
              "Forced Activation 1 (register 80): controller Disabled, file Enabled\n");
    Outcome changed_json = cli({variant, "--json", "diff", a});
    EXPECT_EQ(changed_json.out,
              "[\n  {\"address\": 0, \"parameter\": \"Set Point (°C) 1\", \"controller\": \"80\", "
              "\"file\": \"85\"},\n  {\"address\": 80, \"parameter\": \"Forced Activation 1\", "
              "\"controller\": \"Disabled\", \"file\": \"Enabled\"}\n]\n");
    EXPECT_EQ(cli({variant, "upload", a}).status, 0);
    EXPECT_EQ(cli({variant, "diff", a}).status, 0);
}

INSTANTIATE_TEST_SUITE_P(Variants, CliLayouts,
                         ::testing::Values(Layout{"kelvra", "2"}, Layout{"kelvra", "1"},
                                           Layout{"kelvra0", "2"}, Layout{"kelvra0", "1"}),
                         [](const auto& info) {
                             return std::string(info.param.variant) + "_options" +
                                    info.param.options;
                         });

// What the program refuses, and how it says so, before a request could do harm.
TEST(Cli, RefusalsAndTheirExitStatus) {
    test::SimHarness sim({"--baud", "0", "--options", "0"});
    ASSERT_TRUE(sim.started());
    test::TempDir dir;
    const std::string good = dir.path("good.cfg");
    ASSERT_EQ(cli({"download", "-o", good}).status, 0);
    std::string text = test::slurp(good);
    test::put(dir.path("rtd.cfg"), replace(text, "\"varnel\"", "\"varnel0\""));
    test::put(dir.path("gap.cfg"), replace(text, "address=\"210\"", "address=\"999\""));
    sim.clear_log();
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string err; // a regular expression it contains
    } cases[] = {
        {{}, 2, "kelvra-cli: No command given.\nTry 'kelvra-cli --help'.\n"},
        {{"erase"}, 2, "kelvra-cli: Unknown command 'erase'.\n"},
        {{"download"}, 2, "kelvra-cli: The command needs -o FILE.\n"},
        {{"info", "-o", "x"}, 2, "kelvra-cli: Only download and events take -o.\n"},
        {{"upload"}, 2, "kelvra-cli: The command needs one configuration file.\n"},
        {{"--json", "upload", good}, 2, "Only info and diff take --json.\n"},
        {{"--dry-run", "info"}, 2, "Only upload takes --dry-run.\n"},
        {{"--png", "x.png", "download", "-o", "x"}, 2, "Only events takes --png.\n"},
        {{"--variant=x", "info"}, 2, "Unknown variant 'x'.\n"},
        {{"--colour", "info"}, 2, "kelvra-cli: Unknown option --colour\n"},
        {{"--port", dir.path("none"), "info"},
         3,
         error_line("Temperature controller not detected on the USB port.")},
        {{"upload", dir.path("none.cfg")},
         5,
         error_line(("Cannot open configuration file " + dir.path("none.cfg") + ".").c_str())},
        {{"diff", dir.path("rtd.cfg")}, 5, "attribute \"name\" with invalid value \"varnel0\".\n"},
        {{"upload", dir.path("gap.cfg")}, 5, error_line("Parameter 'Line Frequency' not defined.")},
        {{"events", "-o", dir.path("e.csv")},
         4,
         error_line("This device does not feature event memory.")},
        {{"download", "-o", dir.path("none/a.cfg")},
         5,
         error_line("Error writing configuration file.")},
    };
    for (const Case& c : cases) {
        Outcome r = cli(c.args);
        std::string what = ::testing::PrintToString(c.args);
        EXPECT_EQ(r.status, c.status) << what;
        EXPECT_TRUE(std::regex_search(r.err, std::regex(c.err))) << what << ": " << r.err;
        EXPECT_EQ(r.out, "") << what;
    }
    EXPECT_EQ(writes(sim), Lines{});
    EXPECT_EQ(dir.entries(), (Lines{"gap.cfg", "good.cfg", "rtd.cfg"}));

    // The dry run shows the writes that the upload makes, and makes none.
    Outcome dry = cli({"--dry-run", "upload", good});
    EXPECT_EQ(dry.status, 0) << dry.err;
    EXPECT_TRUE(std::regex_search(dry.out, std::regex("^write 0 \\(14 registers\\): 80 90 ")));
    EXPECT_TRUE(std::regex_search(dry.out, std::regex("\nwrite 320 \\(3 registers\\): \\d+ \\d+ "
                                                      "\\d+\nwrite 400 \\(6 registers\\):")));
    EXPECT_EQ(writes(sim), Lines{});
    EXPECT_EQ(cli({"upload", good}).status, 0);
    EXPECT_EQ(writes(sim).size(), 13u);

    EXPECT_EQ(cli({"--version"}).out, "kelvra-cli 1.0.0\n");
    EXPECT_NE(cli({"--help"}).out.find("Exit status: 0 done"), std::string::npos);
}

TEST(Cli, TellsTheVariantTheControllerIs) {
    test::SimHarness sim({"--baud", "0", "--variant", "rtd", "--relays", "15"});
    ASSERT_TRUE(sim.started());
    Outcome r = cli({"info"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "Relays: 15\nPort: MODBUS\nEvent memory: yes\nVariant: kelvra0\n");
    EXPECT_EQ(r.err, error_line("The controller is a kelvra0; this command was asked for kelvra.") +
                         error_line("Only relays 1 to 14 are transferred."));
    EXPECT_NE(cli({"--json", "info"}).out.find("\"variant_matches\": false"), std::string::npos);
    // The full map's blocks are refused by such a controller, as in the window.
    test::TempDir dir;
    EXPECT_EQ(cli({"download", "-o", dir.path("a.cfg")}).err, error_line(PROTOCOL));
}

// Stopped part way through the dump, the command leaves no file behind, not even its temporary.
TEST(Cli, AnInterruptedCommandLeavesNothing) {
    test::SimHarness sim({"--baud", "115200"}); // the dump takes seconds
    ASSERT_TRUE(sim.started());
    test::TempDir dir;
    std::string program = test::binary_path("kelvra-cli"), out = dir.path("e.csv");
    char* argv[] = {program.data(), const_cast<char*>("events"), const_cast<char*>("-o"),
                    out.data(), nullptr};
    GPid pid = 0;
    ASSERT_TRUE(g_spawn_async(nullptr, argv, nullptr, G_SPAWN_DO_NOT_REAP_CHILD, nullptr, nullptr,
                              &pid, nullptr));
    for (int wait = 0; wait < 500 && dir.entries().empty(); ++wait)
        g_usleep(10 * 1000);
    g_usleep(300 * 1000);
    kill(pid, SIGINT);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT);
    EXPECT_EQ(dir.entries(), Lines{});
}

// Every fault the simulator injects into the requests of a command: the window's message, its
// exit status, and no output file, not even a part of one.
struct FaultCase {
    const char* command;
    const char* fault;
    const char* address; // the request it hits
    const char* message; // null: the command succeeds
};

class CliFaults : public ::testing::TestWithParam<FaultCase> {};

TEST_P(CliFaults, EndWithTheMessageAndNoFile) {
    const FaultCase& c = GetParam();
    test::TempDir dir;
    std::string command = c.command, file = dir.path("out");
    if (command == "upload") { // what the controller holds, to upload again
        test::SimHarness clean({"--baud", "0", "--options", "3"});
        ASSERT_EQ(cli({"download", "-o", file}).status, 0);
    }
    test::SimHarness sim(
        {"--baud", "0", "--options", "3", "--fault", c.fault, "--fault-address", c.address});
    ASSERT_TRUE(sim.started());
    Outcome r = command == "upload" ? cli({"upload", file}) : cli({command, "-o", file});
    EXPECT_EQ(r.status, c.message ? 4 : 0);
    EXPECT_EQ(r.err, c.message ? error_line(c.message) : "");
    if (command == "upload")
        return;
    EXPECT_EQ(dir.entries(), c.message ? Lines{} : Lines{"out"});
    if (command == "events" && !c.message) {
        EXPECT_EQ(test::slurp(file),
                  test::slurp(test::source_path("tests/data/events_sim_full.csv")));
    }
}

const FaultCase FAULT_CASES[] = {
    {"download", "no-reply", "65520", COMM},     {"download", "no-reply", "200", COMM},
    {"download", "bad-crc", "200", COMM},        {"download", "stray-byte", "200", COMM},
    {"download", "hangup", "200", COMM},         {"download", "exception", "200", PROTOCOL},
    {"download", "short-reply", "200", UNKNOWN}, {"download", "long-reply", "200", UNKNOWN},
    {"download", "wrong-slave", "200", UNKNOWN}, {"download", "wrong-function", "200", UNKNOWN},
    {"download", "wrong-count", "200", UNKNOWN}, {"download", "split", "200", nullptr},
    {"upload", "exception", "300", PROTOCOL},    {"upload", "wrong-count", "300", UNKNOWN},
    {"events", "no-reply", "65504", COMM},       {"events", "short-dump", "65504", UNKNOWN},
    {"events", "long-dump", "65504", UNKNOWN},   {"events", "hangup", "65504", COMM},
    {"events", "split", "65504", nullptr},
};

INSTANTIATE_TEST_SUITE_P(Faults, CliFaults, ::testing::ValuesIn(FAULT_CASES), [](const auto& info) {
    std::string name =
        std::string(info.param.command) + "_" + info.param.fault + "_" + info.param.address;
    std::replace(name.begin(), name.end(), '-', '_');
    return name;
});

TEST(ParameterModel, ValuesInTheWindowsUnits) {
    std::vector<Parameter> map = parameter_map(variant_full);
    auto text = [&map](int address, uint16_t value) {
        return value_text(*find_parameter(map, address), value);
    };
    EXPECT_EQ(text(40, 125), "12.5");   // timeout, tenths of a second
    EXPECT_EQ(text(211, 425), "07:05"); // daily cooling start
    EXPECT_EQ(text(405, 26), "2026");
    EXPECT_EQ(text(60, 2), "2"); // a choice without rows: its number
    Choices rows = read_choices(test::source_path("ui/kelvra.glade").c_str());
    EXPECT_EQ(rows["Forced Activation 14"], (Lines{"Disabled", "Enabled"}));
    EXPECT_EQ(value_text(*find_parameter(map, 320), 4, rows["MODBUSBaudRate"]), "19200");
    EXPECT_EQ(rows.count("AlternateActivation"), 0u);
    EXPECT_EQ(find_parameter(map, 14), nullptr);
    EXPECT_FALSE(in_map(variant_full, 14)); // a fifteenth relay
    EXPECT_FALSE(in_map(variant_rtd, 120));
}

} // namespace
