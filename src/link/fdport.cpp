#include "link/bridge.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace bridge {

namespace {

// Milliseconds left until the deadline, for poll.
int remaining_ms(std::chrono::steady_clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    return static_cast<int>(std::clamp<long long>(left.count(), 0, INT_MAX));
}

// Moves `count` bytes with `step` (a read or write of what remains after `done` bytes), waiting
// for `events` while the descriptor is not ready, until `ms` have passed: the bytes moved by then
// are in *done, and a timeout is no error.
template <typename Step, typename Waiter>
FT_STATUS move(int fd, Step step, Waiter wait, short events, uint32_t ms, uint32_t count,
               uint32_t* done) {
    *done = 0;
    if (fd < 0)
        return FT_INVALID_HANDLE;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (*done < count) {
        ssize_t n = step(*done);
        if (n > 0) {
            *done += static_cast<uint32_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        // End of file means the other side hung up: the device or the connection is gone.
        if (n == 0 ? events == POLLIN : errno != EAGAIN)
            return FT_IO_ERROR;
        switch (wait(events, deadline)) {
        case FdPort::Wait::Timeout:
            return FT_OK;
        case FdPort::Wait::Failed:
            return FT_IO_ERROR;
        case FdPort::Wait::Ready:
            break;
        }
    }
    return FT_OK;
}

} // namespace

FdPort::Wait FdPort::wait(short events, Clock::time_point deadline) {
    for (;;) {
        pollfd p{fd_, events, 0};
        int r = poll(&p, 1, remaining_ms(deadline));
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0)
            return Wait::Failed;
        if (r == 0)
            return Wait::Timeout;
        // Data still queued is read before a hang-up is noticed.
        if (p.revents & events)
            return Wait::Ready;
        return Wait::Failed; // POLLHUP, POLLERR, POLLNVAL
    }
}

FT_STATUS FdPort::purge(uint32_t mask) {
    if (fd_ < 0)
        return FT_INVALID_HANDLE;
    uint8_t drop[256];
    while ((mask & FT_PURGE_RX) && ::read(fd_, drop, sizeof drop) > 0) {
    }
    return FT_OK;
}

FT_STATUS FdPort::set_timeouts(uint32_t read_ms, uint32_t write_ms) {
    read_ms_ = read_ms;
    write_ms_ = write_ms;
    return FT_OK;
}

FT_STATUS FdPort::write(const uint8_t* data, uint32_t count, uint32_t* written) {
    auto waiter = [this](short events, Clock::time_point deadline) {
        return wait(events, deadline);
    };
    return move(
        fd_, [&](uint32_t done) { return ::write(fd_, data + done, count - done); }, waiter,
        POLLOUT, write_ms_, count, written);
}

FT_STATUS FdPort::read(uint8_t* data, uint32_t count, uint32_t* got) {
    auto waiter = [this](short events, Clock::time_point deadline) {
        return wait(events, deadline);
    };
    return move(
        fd_, [&](uint32_t done) { return ::read(fd_, data + done, count - done); }, waiter, POLLIN,
        read_ms_, count, got);
}

FT_STATUS FdPort::queue_status(uint32_t* queued) {
    *queued = 0;
    if (fd_ < 0)
        return FT_INVALID_HANDLE;
    int n = 0;
    if (ioctl(fd_, FIONREAD, &n) != 0 || n < 0)
        return FT_IO_ERROR;
    *queued = static_cast<uint32_t>(n);
    return FT_OK;
}

FT_STATUS FdPort::close() {
    if (fd_ >= 0)
        ::close(fd_); // also drops a lock taken on it
    fd_ = -1;
    return FT_OK;
}

} // namespace bridge
