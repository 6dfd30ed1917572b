#include "line.h"

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

namespace sim {

Pty::Pty() {
    int m = posix_openpt(O_RDWR | O_NOCTTY);
    if (m < 0)
        return;
    char name[128];
    if (grantpt(m) != 0 || unlockpt(m) != 0 || ptsname_r(m, name, sizeof name) != 0) {
        close(m);
        return;
    }
    fcntl(m, F_SETFD, FD_CLOEXEC);
    fcntl(m, F_SETFL, fcntl(m, F_GETFL) | O_NONBLOCK);
    int s = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios tio{};
    if (s < 0 || tcgetattr(s, &tio) != 0) {
        if (s >= 0)
            close(s);
        close(m);
        return;
    }
    // Raw at once: a cooked slave would echo and eat 0x11/0x13 before the client sets it up.
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    cfsetspeed(&tio, B115200);
    tcsetattr(s, TCSANOW, &tio);
    master_ = m;
    slave_ = s;
    path_ = name;
}

Pty::~Pty() {
    // The master first: the client sees the hang-up before our slave goes.
    if (master_ >= 0)
        close(master_);
    if (slave_ >= 0)
        close(slave_);
}

PtyLine::~PtyLine() {
    if (!link_.empty())
        unlink(link_.c_str());
}

bool PtyLine::open() {
    // After a hang-up the new device and its link are in place before the old one vanishes,
    // so a client that reconnects at once finds it.
    auto pty = std::make_unique<Pty>();
    if (!pty->ok())
        return false;
    if (!link_.empty()) {
        // Replace the link atomically, so a client never finds it missing.
        std::string tmp = link_ + ".new";
        unlink(tmp.c_str());
        if (symlink(pty->slave_path().c_str(), tmp.c_str()) != 0 ||
            rename(tmp.c_str(), link_.c_str()) != 0)
            return false;
    }
    if (pty_)
        ++generation_;
    pty_ = std::move(pty);
    if (announce_) {
        std::fprintf(announce_, "%s\n", pty_->slave_path().c_str());
        std::fflush(announce_);
    }
    return true;
}

size_t PtyLine::receive(short revents, uint8_t* buf, size_t size) {
    if (!(revents & POLLIN)) {
        // Hang-up without input can only be transient (we hold a slave); do not spin.
        usleep(10'000);
        return 0;
    }
    ssize_t n = read(pty_->master(), buf, size);
    return n > 0 ? static_cast<size_t>(n) : 0;
}

TcpLine::~TcpLine() {
    if (client_ >= 0)
        close(client_);
    if (listener_ >= 0)
        close(listener_);
}

bool TcpLine::open(int port, std::FILE* announce) {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (listener_ < 0)
        return false;
    // A simulator restarted on the same port must not wait for the last one's TIME_WAIT.
    int one = 1;
    setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    socklen_t len = sizeof addr;
    if (bind(listener_, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
        listen(listener_, 4) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
        return false;
    if (announce) {
        std::fprintf(announce, "tcp://127.0.0.1:%u\n", ntohs(addr.sin_port));
        std::fflush(announce);
    }
    return true;
}

size_t TcpLine::receive(short, uint8_t* buf, size_t size) {
    if (client_ < 0) {
        client_ = accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (client_ < 0)
            return 0;
        // Paced chunks and split replies leave when written, as on a line, not when Nagle
        // lets them.
        int one = 1;
        setsockopt(client_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        ++generation_;
        return 0;
    }
    ssize_t n = read(client_, buf, size);
    if (n > 0)
        return static_cast<size_t>(n);
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return 0;
    hang_up(); // the client went: the next one may come
    return 0;
}

bool TcpLine::hang_up() {
    if (client_ >= 0)
        close(client_);
    client_ = -1;
    ++generation_;
    return true;
}

} // namespace sim
