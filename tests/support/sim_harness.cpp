#include "support/sim_harness.h"

#include "support/files.h"

#include <algorithm>
#include <csignal>
#include <glib.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace test {

namespace {
// Generous: a sanitizer build on a loaded machine starts slowly.
constexpr int START_TIMEOUT_MS = 20000;

// Whether a first line came on fd in time; `line` gets it.
bool line_comes(int fd, std::string& line) {
    for (gint64 deadline = g_get_monotonic_time() + START_TIMEOUT_MS * 1000LL;;) {
        pollfd p{fd, POLLIN, 0};
        int left = static_cast<int>((deadline - g_get_monotonic_time()) / 1000);
        char c = 0;
        if (left <= 0 || poll(&p, 1, left) <= 0 || read(fd, &c, 1) != 1)
            return false;
        if (c == '\n')
            return true;
        line += c;
    }
}
} // namespace

SimHarness::SimHarness(const std::vector<std::string>& args) : log_path_(dir_.path("log")) {
    std::vector<std::string> words{binary_path("kelvra-sim")};
    words.insert(words.end(), args.begin(), args.end());
    // On the network it announces its address; on a pseudo-terminal a link follows it.
    bool network = std::find_if(args.begin(), args.end(), [](const std::string& a) {
                       return a == "--tcp" || a == "--mbap";
                   }) != args.end();
    words.insert(words.end(), {"--log", log_path_, "--exit-with-parent"});
    if (!network)
        words.insert(words.end(), {"--link", dir_.path("port")});
    std::vector<char*> argv;
    for (std::string& w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);
    GError* error = nullptr;
    if (!g_spawn_async_with_pipes(nullptr, argv.data(), nullptr, G_SPAWN_DO_NOT_REAP_CHILD, nullptr,
                                  nullptr, &pid_, nullptr, &stdout_fd_, nullptr, &error)) {
        ADD_FAILURE() << "cannot start kelvra-sim: " << error->message;
        g_error_free(error);
        return;
    }
    std::string announced;
    if (!line_comes(stdout_fd_, announced)) {
        ADD_FAILURE() << "kelvra-sim did not announce its port";
        return;
    }
    port_ = network ? announced : dir_.path("port");
    if (!network)
        setenv("KELVRA_PORT", port_.c_str(), 1);
}

SimHarness::~SimHarness() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        int status = 0;
        bool reaped = false;
        for (int i = 0; i < 500 && !(reaped = waitpid(pid_, &status, WNOHANG) == pid_); ++i)
            g_usleep(10 * 1000);
        if (!reaped) { // it lingered
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
        }
    }
    if (stdout_fd_ >= 0)
        close(stdout_fd_);
    if (!port_.empty())
        unsetenv("KELVRA_PORT");
}

std::vector<std::string> SimHarness::all_lines() const {
    std::string s = slurp(log_path_);
    std::vector<std::string> lines;
    // Only complete lines: the simulator may be writing the next one right now.
    for (size_t begin = 0, nl; (nl = s.find('\n', begin)) != std::string::npos; begin = nl + 1)
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
