// kelvra-sim on TCP, as a controller behind a serial device server (--tcp) or a MODBUS TCP
// gateway (--mbap), reached with a plain socket: one connection per request, so each case also
// shows that the next client is taken once the last has gone.
#include "device.h"
#include "support/sim_harness.h"

#include <arpa/inet.h>
#include <glib.h>
#include <gtest/gtest.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using Bytes = std::vector<uint8_t>;

// A read of registers 300..301 (0 and 150 on a fresh device), or of the event memory dump.
Bytes rtu_read(uint8_t slave, uint16_t first) {
    Bytes f{slave, 3, uint8_t(first >> 8), uint8_t(first), 0, uint8_t(first == 300 ? 2 : 1)};
    return sim::append_crc(f), f;
}
Bytes mbap_read(uint8_t unit, uint16_t first) {
    Bytes f{0x12, 0x34, 0, 0, 0, 6};
    Bytes pdu = rtu_read(unit, first);
    f.insert(f.end(), pdu.begin(), pdu.end() - 2);
    return f;
}
const Bytes REPLY_PDU{3, 4, 0, 0, 0, 150};
Bytes rtu_reply(uint8_t slave) {
    // Built by prepending: g++ 12 at -O2 takes an append to a one-byte vector for an overflow.
    Bytes f = REPLY_PDU;
    f.insert(f.begin(), slave);
    return sim::append_crc(f), f;
}
// The reply of a MODBUS TCP gateway: transaction 0x1234 echoed, then the unit and the PDU.
Bytes mbap_reply(uint8_t unit, Bytes pdu) {
    Bytes f{0x12, 0x34, 0, 0, 0, uint8_t(pdu.size() + 1), unit};
    f.insert(f.end(), pdu.begin(), pdu.end());
    return f;
}

// A request torn after its third byte, as TCP may deliver it.
std::vector<Bytes> in_two(const Bytes& whole) {
    return {Bytes(whole.begin(), whole.begin() + 3), Bytes(whole.begin() + 3, whole.end())};
}

// Sends `writes` to the simulator at `url` (tcp://127.0.0.1:PORT) over a new connection, a
// pause between them, and returns what comes back: `expected` bytes or less, or whatever comes
// within 300 ms when nothing is expected.
Bytes exchange(const std::string& url, const std::vector<Bytes>& writes, size_t expected) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(std::stoi(url.substr(url.rfind(':') + 1))));
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    Bytes got;
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
        return close(fd), got;
    for (const Bytes& w : writes) {
        send(fd, w.data(), w.size(), MSG_NOSIGNAL);
        g_usleep(20 * 1000); // well inside the 100 ms after which a torn RTU frame is noise
    }
    gint64 deadline = g_get_monotonic_time() + (expected ? 10'000'000 : 300'000);
    uint8_t buf[512];
    pollfd p{fd, POLLIN, 0};
    ssize_t n = 0;
    while ((!expected || got.size() < expected) &&
           poll(&p, 1, int((deadline - g_get_monotonic_time()) / 1000)) > 0 &&
           (n = recv(fd, buf, sizeof buf, 0)) > 0)
        got.insert(got.end(), buf, buf + n);
    close(fd);
    return got;
}

TEST(SimNet, ServesRtuFramesAndModbusTcpOnTcp) {
    struct Case {
        const char* what;
        std::vector<Bytes> writes;
        Bytes reply;
    };
    const Bytes gateway_failed{0x83, 0x0B};
    const std::pair<std::vector<std::string>, std::vector<Case>> sims[] = {
        {{"--tcp", "0"}, {{"slave 1, in two writes", in_two(rtu_read(1, 300)), rtu_reply(1)}}},
        {{"--tcp", "0", "--slave", "5"},
         {{"another slave: silence", {rtu_read(2, 300)}, {}},
          {"slave 5", {rtu_read(5, 300)}, rtu_reply(5)}}},
        {{"--mbap", "0", "--slave", "5"},
         {{"unit 5, header in two writes", in_two(mbap_read(5, 300)), mbap_reply(5, REPLY_PDU)},
          {"no unit 1 behind the gateway", {mbap_read(1, 300)}, mbap_reply(1, gateway_failed)},
          {"the dump is no MODBUS reply", {mbap_read(5, 0xFFE0)}, mbap_reply(5, gateway_failed)}}},
    };
    for (const auto& [args, cases] : sims) {
        test::SimHarness sim(args);
        ASSERT_TRUE(sim.started());
        for (const Case& c : cases)
            EXPECT_EQ(exchange(sim.port(), c.writes, c.reply.size()), c.reply)
                << args[0] << ": " << c.what;
    }
}

} // namespace
