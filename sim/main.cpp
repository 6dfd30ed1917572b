// kelvra-sim: a simulated temperature controller on a pseudo-terminal, or on a TCP port as
// behind a serial device server or a MODBUS TCP gateway. Prints the slave path (or
// tcp://127.0.0.1:PORT) as its first line and serves until SIGTERM or SIGINT. After an
// injected hang-up it comes back on a new pseudo-terminal, prints the new path and re-points
// --link; on TCP it drops the client and waits for the next.
#include "device.h"
#include "server.h"
#include "wire.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <sys/prctl.h>
#include <unistd.h>

namespace {

volatile std::sig_atomic_t stop_requested = 0;

extern "C" void on_stop_signal(int) {
    stop_requested = 1;
}

void usage(std::FILE* out) {
    std::fputs(
        "usage: kelvra-sim [--relays N] [--options BITS] [--variant full|rtd] [--slave N]\n"
        "                  [--ident-word W] [--events N] [--clamp A:LIMIT]\n"
        "                  [--baud N] [--latency MS] [--link PATH | --tcp PORT | --mbap PORT]\n"
        "                  [--log FILE]\n"
        "                  [--fault KIND] [--fault-address A] [--fault-count N] [--fault-skip N]\n"
        "  --relays N         relay count, 0 to 15 (14)\n"
        "  --options BITS     1: DNP3 port instead of MODBUS port, 2: event memory (2)\n"
        "  --variant full|rtd full: all relay blocks and 200..213; rtd: no current blocks, "
        "200..204\n"
        "  --slave N          the slave address it answers to, 1 to 247; silent for others (1)\n"
        "  --ident-word W     first identification word as sent (from relays and options)\n"
        "  --events N         event records written so far, 0 to 3584; the rest erased\n"
        "  --clamp A:LIMIT    register A keeps at most LIMIT of what is written (repeatable)\n"
        "  --baud N           line speed the replies are paced at, 0: unpaced (115200)\n"
        "  --latency MS       reply latency (3 when paced, 0 unpaced)\n"
        "  --link PATH        symlink to the pty, removed at exit\n"
        "  --tcp PORT         serve on TCP 127.0.0.1:PORT instead of a pty (0: a free port),\n"
        "                     one client at a time: the RTU frames as a serial device server\n"
        "                     passes them, paced and faulted alike\n"
        "  --mbap PORT        serve MODBUS TCP on 127.0.0.1:PORT instead, as a gateway to the\n"
        "                     serial line: the unit id is the slave address; other units, the\n"
        "                     event memory dump and replies lost or damaged on the line get\n"
        "                     exception 0x0B; a reply goes whole once it has crossed the line\n"
        "  --log FILE         request log: R first count / W first count values / ? hex\n"
        "  --fault KIND       no-reply bad-crc stray-byte exception short-reply\n"
        "                     long-reply wrong-slave (the next address) wrong-function\n"
        "                     wrong-count split short-dump long-dump hangup\n"
        "  --fault-address A  only requests whose first address is A (any)\n"
        "  --fault-count N    only the first N such requests (always)\n"
        "  --fault-skip N     let the first N such requests through unharmed (0)\n"
        "  --exit-with-parent stop when the process that started it ends\n",
        out);
}

std::optional<long> number(const char* text, long low, long high) {
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(text, &end, 0);
    if (errno != 0 || end == text || *end != '\0' || v < low || v > high)
        return std::nullopt;
    return v;
}

// "A:LIMIT" of --clamp.
std::optional<std::pair<uint16_t, uint16_t>> clamp_of(const char* text) {
    const char* colon = std::strchr(text, ':');
    if (!colon)
        return std::nullopt;
    auto address = number(std::string(text, colon).c_str(), 0, 1023);
    auto limit = number(colon + 1, 0, 0xFFFF);
    if (!address || !limit)
        return std::nullopt;
    return std::pair{static_cast<uint16_t>(*address), static_cast<uint16_t>(*limit)};
}

} // namespace

int main(int argc, char** argv) {
    sim::DeviceConfig config;
    sim::ServerOptions options;
    using Transport = sim::ServerOptions::Transport;
    sim::Fault fault = sim::Fault::none;
    std::optional<uint16_t> fault_address;
    std::optional<uint16_t> ident_word;
    int fault_count = -1;
    int fault_skip = 0;

    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            usage(stdout);
            return 0;
        }
        if (arg == "--exit-with-parent") {
            // For test harnesses: a test that crashes must not leave a simulator behind
            // holding its output pipe open.
            prctl(PR_SET_PDEATHSIG, SIGTERM);
            if (getppid() == 1)
                return 0;
            continue;
        }
        if (i + 1 >= argc) {
            std::fprintf(stderr, "kelvra-sim: %s needs a value\n", arg.c_str());
            usage(stderr);
            return 2;
        }
        const char* value = argv[++i];
        std::optional<long> n;
        bool ok = true;
        if (arg == "--relays" && (n = number(value, 0, 15)))
            config.relays = static_cast<int>(*n);
        else if (arg == "--options" && (n = number(value, 0, 3)))
            config.options = static_cast<int>(*n);
        else if (arg == "--clamp" && clamp_of(value))
            config.clamps.push_back(*clamp_of(value));
        else if (arg == "--events" && (n = number(value, 0, 3584)))
            config.event_records = static_cast<size_t>(*n);
        else if (arg == "--slave" && (n = number(value, 1, 247)))
            config.slave = static_cast<uint8_t>(*n);
        else if (arg == "--ident-word" && (n = number(value, 0, 0xFFFF)))
            ident_word = static_cast<uint16_t>(*n);
        else if (arg == "--variant" && std::strcmp(value, "full") == 0)
            config.variant = sim::Variant::full;
        else if (arg == "--variant" && std::strcmp(value, "rtd") == 0)
            config.variant = sim::Variant::rtd;
        else if (arg == "--baud" && (n = number(value, 0, 4000000)))
            options.baud = *n;
        else if (arg == "--latency" && (n = number(value, 0, 10000)))
            options.latency_ms = static_cast<int>(*n);
        else if (arg == "--link" && options.transport == Transport::pty)
            options.link = value;
        else if ((arg == "--tcp" || arg == "--mbap") && options.link.empty() &&
                 options.transport == Transport::pty && (n = number(value, 0, 65535))) {
            options.transport = arg == "--tcp" ? Transport::tcp : Transport::mbap;
            options.port = static_cast<int>(*n);
        } else if (arg == "--log")
            options.log_path = value;
        else if (arg == "--fault" && sim::parse_fault(value))
            fault = *sim::parse_fault(value);
        else if (arg == "--fault-address" && (n = number(value, 0, 0xFFFF)))
            fault_address = static_cast<uint16_t>(*n);
        else if (arg == "--fault-skip" && (n = number(value, 0, 1000000)))
            fault_skip = static_cast<int>(*n);
        else if (arg == "--fault-count" && (n = number(value, 0, 1000000)))
            fault_count = static_cast<int>(*n);
        else
            ok = false;
        if (!ok) {
            std::fprintf(stderr, "kelvra-sim: bad option %s %s\n", arg.c_str(), value);
            usage(stderr);
            return 2;
        }
    }
    options.faults = sim::FaultPlan(fault, fault_address, fault_count, fault_skip);

    struct sigaction sa {};
    sa.sa_handler = on_stop_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0; // no SA_RESTART: a blocking wait returns and sees the request
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    // Bytes leave at their line time: the default timer slack of 50 µs would make every paced
    // reply that much late, and the link look slower than it is.
    prctl(PR_SET_TIMERSLACK, 1UL);
    sim::Device device(config);
    if (ident_word)
        device.override_ident_word(*ident_word);
    sim::Server server(device, options);
    if (!server.start(stdout)) {
        std::fprintf(stderr,
                     "kelvra-sim: cannot open a pseudo-terminal, TCP port, link or log: %s\n",
                     std::strerror(errno));
        return 1;
    }
    server.run(&stop_requested);
    return 0;
}
