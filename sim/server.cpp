#include "server.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <poll.h>
#include <unistd.h>

namespace sim {

namespace {

// Pause between the two bursts of a split reply: well inside the reader's 1000 ms.
constexpr std::chrono::milliseconds SPLIT_GAP{20};
// Silence after which a partial request is taken as noise. Far longer than the 3.5 character
// times of the standard: a pseudo-terminal has no line timing, and a loaded host may hold a
// writer part way through a request for tens of milliseconds. The tool's reply timeout is 2 s,
// so a late resync costs nothing.
constexpr std::chrono::milliseconds RESYNC_GAP{100};
// How long a reply may wait for the client to drain the line before it is dropped.
constexpr int WRITE_STALL_MS = 3000;

} // namespace

Server::Server(Device& device, ServerOptions options)
    : device_(device), options_(std::move(options)) {
    if (options_.latency_ms < 0)
        options_.latency_ms = options_.baud > 0 ? 3 : 0;
}

std::chrono::nanoseconds Server::byte_time() const {
    // 10 bits a byte: start, 8 data, stop.
    return options_.baud > 0 ? std::chrono::nanoseconds(10'000'000'000LL / options_.baud)
                             : std::chrono::nanoseconds(0);
}

bool Server::start(std::FILE* announce) {
    if (!options_.log_path.empty()) {
        log_.reset(std::fopen(options_.log_path.c_str(), "w"));
        if (!log_)
            return false;
    }
    if (options_.transport == ServerOptions::Transport::pty) {
        auto pty = std::make_unique<PtyLine>(options_.link, announce);
        bool ok = pty->open();
        line_ = std::move(pty);
        return ok;
    }
    auto tcp = std::make_unique<TcpLine>();
    bool ok = tcp->open(options_.port, announce);
    line_ = std::move(tcp);
    return ok;
}

void Server::log_line(const std::string& line) {
    if (!log_)
        return;
    std::fprintf(log_.get(), "%s\n", line.c_str());
    std::fflush(log_.get());
}

bool Server::sleep_until(Clock::time_point when) {
    // steady_clock is CLOCK_MONOTONIC with libstdc++.
    auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(when.time_since_epoch());
    timespec ts{static_cast<time_t>(ns.count() / 1'000'000'000),
                static_cast<long>(ns.count() % 1'000'000'000)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR)
        if (*stop_)
            return false;
    return !*stop_;
}

bool Server::write_all(const uint8_t* data, size_t size) {
    while (size > 0) {
        ssize_t n = write(line_->fd(), data, size);
        if (n > 0) {
            data += n;
            size -= static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            if (*stop_)
                return false;
            continue;
        }
        if (n < 0 && errno != EAGAIN)
            return false;
        // Nobody drains the line (the client went away mid-reply): give up on the reply.
        pollfd p{line_->fd(), POLLOUT, 0};
        int r = poll(&p, 1, WRITE_STALL_MS);
        if (r == 0 || *stop_)
            return false;
    }
    return true;
}

bool Server::send(const std::vector<uint8_t>& bytes, Clock::time_point start,
                  Clock::time_point* end, bool whole) {
    auto per_byte = byte_time();
    *end = start + per_byte * static_cast<long>(bytes.size());
    // A gateway passes a reply on once it has all of it from its serial line.
    if (options_.baud <= 0 || whole)
        return sleep_until(*end) && write_all(bytes.data(), bytes.size());
    // About a millisecond of line time per write, so timing stays realistic without a system
    // call per byte. Chunks are cut from the end, so the last one is full: bytes that arrive
    // together on a real line (a frame's end and a stray byte behind it) stay together.
    size_t chunk = static_cast<size_t>(std::max(1L, options_.baud / 10000));
    size_t n = bytes.size();
    size_t done = 0;
    while (done < n) {
        size_t left = n - done;
        size_t take = left % chunk ? left % chunk : chunk;
        // Each chunk goes out when its last byte would have left the UART.
        if (!sleep_until(start + per_byte * static_cast<long>(done + take)))
            return false;
        if (!write_all(bytes.data() + done, take))
            return false;
        done += take;
    }
    return true;
}

void Server::serve(const std::vector<uint8_t>& frame, Clock::time_point first_byte,
                   const MbapHeader* mbap) {
    Answer answer = device_.handle(frame);
    log_line(answer.log);
    Fault fault = options_.faults.take(answer);
    Transmission t = mbap ? gateway_transmit(answer, fault, *mbap) : transmit(answer, fault);
    if (t.bursts.empty() && !t.hangup)
        return;
    // The request itself took line time too: the device has it only after its last byte.
    auto start = std::max(Clock::now(), first_byte + byte_time() * static_cast<long>(frame.size()) +
                                            std::chrono::milliseconds(options_.latency_ms));
    Clock::time_point end = start;
    for (const auto& burst : t.bursts) {
        if (!send(burst, start, &end, mbap != nullptr))
            return;
        start = end + SPLIT_GAP;
    }
    if (t.hangup) {
        // Let the client take what was sent, then vanish: a pty comes back as a new device,
        // a TCP port waits for the next connection.
        sleep_until(Clock::now() + std::chrono::milliseconds(50));
        if (!line_->hang_up())
            std::exit(1);
    }
}

void Server::run(const volatile std::sig_atomic_t* stop) {
    stop_ = stop;
    bool gateway = options_.transport == ServerOptions::Transport::mbap;
    Framer framer;
    MbapFramer mbap;
    unsigned connection = line_->generation();
    Clock::time_point first_byte{};
    Clock::time_point last_byte{};
    uint8_t buf[4096];
    while (!*stop_) {
        if (line_->generation() != connection) {
            // What came over a connection went with it.
            framer.silence();
            mbap = {};
            connection = line_->generation();
        }
        int timeout = 200; // bounds the wait for a stop request that raced the poll
        if (framer.pending()) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                last_byte + RESYNC_GAP - Clock::now());
            timeout = static_cast<int>(std::clamp<long>(left.count() + 1, 0, 200));
        }
        pollfd p{line_->fd(), POLLIN, 0};
        int r = poll(&p, 1, timeout);
        if (r < 0 && errno != EINTR)
            break;
        auto now = Clock::now();
        size_t n = r > 0 ? line_->receive(p.revents, buf, sizeof buf) : 0;
        for (size_t i = 0; i < n && line_->generation() == connection; ++i) {
            if (!framer.pending() && mbap.pending().empty())
                first_byte = now;
            if (!gateway) {
                if (auto frame = framer.push(buf[i])) {
                    serve(*frame, first_byte);
                    now = Clock::now();
                }
            } else if (auto request = mbap.push(buf[i])) {
                serve(request->frame, first_byte, &request->header);
                now = Clock::now();
            } else if (mbap.broken()) {
                log_line("? " + hex_bytes(mbap.pending()));
                line_->hang_up();
            }
        }
        if (n > 0)
            last_byte = now;
        if (line_->generation() == connection && framer.pending() &&
            Clock::now() - last_byte >= RESYNC_GAP)
            serve(framer.silence(), first_byte);
    }
}

} // namespace sim
