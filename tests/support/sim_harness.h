// Runs the simulated controller (kelvra-sim) for one test, on a pseudo-terminal that the tool
// reaches through KELVRA_PORT.
//
//     test::SimHarness sim({"--relays", "4", "--baud", "0"});
//     ASSERT_TRUE(sim.started());
//     ... connect, download ...
//     EXPECT_EQ(sim.log(), (std::vector<std::string>{"R 65520 9", "R 0 4"}));
//
// The request log has one line per request the simulator received, in order:
//     "R <first> <count>"                  function 3 (e.g. "R 65520 9" identification,
//                                          "R 65504 1" event dump)
//     "W <first> <count> <v1> <v2> ..."    function 16, values in decimal
//     "? <hex bytes>"                      anything not understood (bad CRC, unknown function)
// Useful simulator options: --relays N (14), --options BITS (2), --variant full|rtd,
// --baud N (115200; 0 unpaced), --fault KIND, --fault-address A, --fault-count N;
// see `kelvra-sim --help`.
#pragma once

#include "support/files.h"

#include <string>
#include <sys/types.h>
#include <vector>

namespace test {

class SimHarness {
  public:
    // Starts the simulator with `args` (plus its --log and --link, which the harness owns) and
    // waits for it to announce its port; then sets KELVRA_PORT. A failure to start fails the
    // current test and leaves started() false.
    explicit SimHarness(const std::vector<std::string>& args = {});
    // Stops the simulator (SIGTERM, SIGKILL if it lingers), reaps it, unsets KELVRA_PORT and
    // removes its files.
    ~SimHarness();
    SimHarness(const SimHarness&) = delete;
    SimHarness& operator=(const SimHarness&) = delete;

    bool started() const { return pid_ > 0 && !port_.empty(); }
    // The path KELVRA_PORT is set to: a link that follows the simulator onto a new
    // pseudo-terminal after an injected hang-up. With --tcp or --mbap, the URL it listens on
    // (KELVRA_PORT is left alone).
    const std::string& port() const { return port_; }

    // The complete log lines received since the start or the last clear_log().
    std::vector<std::string> log() const;
    void clear_log();

  private:
    std::vector<std::string> all_lines() const;

    TempDir dir_;
    std::string log_path_;
    std::string port_;
    pid_t pid_ = -1;
    int stdout_fd_ = -1;
    size_t log_offset_ = 0;
};

} // namespace test
