// Serves a Device over a Line: RTU frames paced as on the serial line, or MODBUS TCP as a
// gateway to that line passes them on.
#pragma once

#include "device.h"
#include "line.h"
#include "wire.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <memory>
#include <string>

namespace sim {

struct ServerOptions {
    long baud = 115200;  // 0: bytes go out as fast as the line takes them
    int latency_ms = -1; // reply latency after the request's last byte; -1: 3 ms paced, else 0
    std::string link;    // when set, a symlink to the current slave path, removed at exit
    // What the device is reached over: the pty; or TCP on 127.0.0.1:port (0: a free port),
    // carrying the RTU frames as they are (a serial device server) or MODBUS TCP (a gateway).
    enum class Transport { pty, tcp, mbap };
    Transport transport = Transport::pty;
    int port = 0;
    std::string log_path; // when set, the request log
    FaultPlan faults;
};

class Server {
  public:
    Server(Device& device, ServerOptions options);
    // Opens the line (the pty and its link, or the TCP port) and announces it on `announce`:
    // the slave path, or tcp://127.0.0.1:PORT, one line.
    bool start(std::FILE* announce);
    // Serves requests until *stop becomes non-zero.
    void run(const volatile std::sig_atomic_t* stop);

  private:
    using Clock = std::chrono::steady_clock;
    // Answers one request; `mbap` is the header it came with over MODBUS TCP.
    void serve(const std::vector<uint8_t>& frame, Clock::time_point first_byte,
               const MbapHeader* mbap = nullptr);
    bool send(const std::vector<uint8_t>& bytes, Clock::time_point start, Clock::time_point* end,
              bool whole);
    bool write_all(const uint8_t* data, size_t size);
    bool sleep_until(Clock::time_point when);
    void log_line(const std::string& line);
    std::chrono::nanoseconds byte_time() const;

    Device& device_;
    ServerOptions options_;
    std::unique_ptr<Line> line_;
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> log_{nullptr, &std::fclose};
    const volatile std::sig_atomic_t* stop_ = nullptr;
};

} // namespace sim
