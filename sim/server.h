// Serves a Device on a pseudo-terminal: the RTU line as the tool sees it through KELVRA_PORT.
#pragma once

#include "device.h"
#include "wire.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <memory>
#include <string>

namespace sim {

struct ServerOptions {
    long baud = 115200;   // 0: bytes go out as fast as the pty takes them
    int latency_ms = -1;  // reply latency after the request's last byte; -1: 3 ms paced, else 0
    std::string link;     // when set, a symlink to the current slave path, removed at exit
    std::string log_path; // when set, the request log
    FaultPlan faults;
};

// The device side of a pseudo-terminal. It keeps a slave descriptor of its own open, so the
// client may close and reopen the port without the master seeing a hang-up.
class Pty {
  public:
    Pty();
    ~Pty();
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;
    bool ok() const { return master_ >= 0; }
    int master() const { return master_; }
    const std::string& slave_path() const { return path_; }

  private:
    int master_ = -1;
    int slave_ = -1;
    std::string path_;
};

class Server {
  public:
    Server(Device& device, ServerOptions options);
    ~Server();
    // Opens the pty (and the link); announces the slave path on `announce`, one line.
    bool start(std::FILE* announce);
    // Serves requests until *stop becomes non-zero.
    void run(const volatile std::sig_atomic_t* stop);

  private:
    using Clock = std::chrono::steady_clock;
    bool open_pty();
    void serve(const std::vector<uint8_t>& frame, Clock::time_point first_byte);
    bool send(const std::vector<uint8_t>& bytes, Clock::time_point start, Clock::time_point* end);
    bool write_all(const uint8_t* data, size_t size);
    bool sleep_until(Clock::time_point when);
    void log_line(const std::string& line);
    std::chrono::nanoseconds byte_time() const;

    Device& device_;
    ServerOptions options_;
    std::unique_ptr<Pty> pty_;
    std::FILE* announce_ = nullptr;
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> log_{nullptr, &std::fclose};
    const volatile std::sig_atomic_t* stop_ = nullptr;
};

} // namespace sim
