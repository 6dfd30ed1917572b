// The benches' child processes: a program run to its end, and kelvra-sim kept running for
// the length of a measurement. Header only: each bench is one program.
#pragma once

#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace bench {

inline std::vector<char*> argv_of(std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    return argv;
}

// Runs a program to its end, its standard output thrown away; true when it exits with 0.
inline bool run(std::vector<std::string> args) {
    std::vector<char*> argv = argv_of(args);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    int status = -1;
    bool ok = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0 &&
              waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    posix_spawn_file_actions_destroy(&actions);
    return ok;
}

// One kelvra-sim process, stopped and reaped on destruction; with --tcp, port() is its URL.
class Simulator {
  public:
    Simulator(const std::string& program, std::vector<std::string> args) {
        char dir[] = "/tmp/kelvra-bench-XXXXXX";
        if (!mkdtemp(dir))
            return;
        dir_ = dir;
        link_ = dir_ + "/port";
        bool tcp = std::find(args.begin(), args.end(), "--tcp") != args.end();
        if (!tcp)
            args.insert(args.end(), {"--link", link_});
        args.insert(args.begin(), program);
        args.push_back("--exit-with-parent");
        std::vector<char*> argv = argv_of(args);
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
        if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(fds[1]);
        out_ = fds[0];
        // The first line is the pty path or the URL: once it is there, so is the link.
        char c = 0;
        std::string line;
        pollfd p{out_, POLLIN, 0};
        while (pid_ > 0 && poll(&p, 1, 10000) > 0 && read(out_, &c, 1) == 1 && c != '\n')
            line += c;
        ready_ = !line.empty() && c == '\n';
        if (tcp)
            link_ = line;
    }
    ~Simulator() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0)
            close(out_);
        if (!dir_.empty())
            rmdir(dir_.c_str());
    }
    bool ready() const { return ready_; }
    const std::string& port() const { return link_; }
    pid_t pid() const { return pid_; }

  private:
    std::string dir_, link_;
    pid_t pid_ = -1;
    int out_ = -1;
    bool ready_ = false;
};

} // namespace bench
