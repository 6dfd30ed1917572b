#include "support/sim_harness.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace test {

namespace {

// Generous: a sanitizer build on a loaded machine starts slowly.
constexpr int START_TIMEOUT_MS = 20000;

// Reads one line from fd, waiting at most timeout_ms in total.
bool read_line(int fd, std::string* line, int timeout_ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    line->clear();
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        pollfd p{fd, POLLIN, 0};
        if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0)
            return false;
        char c;
        ssize_t n = read(fd, &c, 1);
        if (n <= 0)
            return false;
        if (c == '\n')
            return true;
        *line += c;
    }
}

} // namespace

SimHarness::SimHarness(const std::vector<std::string>& args) {
    char dir[] = "/tmp/kelvra-sim-XXXXXX";
    if (!mkdtemp(dir)) {
        ADD_FAILURE() << "mkdtemp: " << std::strerror(errno);
        return;
    }
    dir_ = dir;
    log_path_ = dir_ + "/requests.log";
    std::string link = dir_ + "/port";

    std::vector<std::string> argv_s{KELVRA_BINARY_DIR "/kelvra-sim"};
    argv_s.insert(argv_s.end(), args.begin(), args.end());
    argv_s.insert(argv_s.end(), {"--log", log_path_, "--link", link, "--exit-with-parent"});
    std::vector<char*> argv;
    for (auto& a : argv_s)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    int pipe_fds[2];
    if (pipe2(pipe_fds, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe: " << std::strerror(errno);
        return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], STDOUT_FILENO);
    pid_t pid = -1;
    int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipe_fds[1]);
    stdout_fd_ = pipe_fds[0];
    if (rc != 0) {
        ADD_FAILURE() << "cannot start " << argv[0] << ": " << std::strerror(rc);
        return;
    }
    pid_ = pid;
    std::string first;
    if (!read_line(stdout_fd_, &first, START_TIMEOUT_MS) || first.empty()) {
        ADD_FAILURE() << "kelvra-sim did not announce its port";
        return;
    }
    port_ = link;
    setenv("KELVRA_PORT", port_.c_str(), 1);
}

SimHarness::~SimHarness() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        int status = 0;
        bool reaped = false;
        for (int i = 0; i < 500 && !reaped; ++i) {
            reaped = waitpid(pid_, &status, WNOHANG) == pid_;
            if (!reaped)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (!reaped) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
        }
    }
    if (stdout_fd_ >= 0)
        close(stdout_fd_);
    if (!port_.empty())
        unsetenv("KELVRA_PORT");
    if (!dir_.empty()) {
        unlink(log_path_.c_str());
        unlink((dir_ + "/port").c_str()); // normally removed by the simulator itself
        rmdir(dir_.c_str());
    }
}

std::vector<std::string> SimHarness::all_lines() const {
    std::ifstream in(log_path_);
    std::stringstream text;
    text << in.rdbuf();
    std::string s = text.str();
    std::vector<std::string> lines;
    size_t begin = 0;
    // Only complete lines: the simulator may be writing the next one right now.
    for (size_t nl; (nl = s.find('\n', begin)) != std::string::npos; begin = nl + 1)
        lines.push_back(s.substr(begin, nl - begin));
    return lines;
}

std::vector<std::string> SimHarness::log() const {
    auto lines = all_lines();
    if (log_offset_ >= lines.size())
        return {};
    return {lines.begin() + static_cast<std::ptrdiff_t>(log_offset_), lines.end()};
}

void SimHarness::clear_log() {
    log_offset_ = all_lines().size();
}

} // namespace test
