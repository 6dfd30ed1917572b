#include "formats/streams.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <glib.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// The pause between two looks at a named pipe that no program has opened yet.
constexpr int PIPE_LOOK_MS = 20;

// Closes `fd` keeping the errno of what failed.
void close_keeping_errno(int fd) {
    int error = errno;
    close(fd);
    errno = error;
}

// Descriptors are opened without blocking, so that a pipe or a line without its other end
// cannot hang the open; the reading and writing that follow may block as usual.
bool blocking(int fd) {
    int flags = fcntl(fd, F_GETFL);
    return flags >= 0 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0;
}

int connect_socket(const char* path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (std::strlen(path) >= sizeof address.sun_path) {
        errno = ENAMETOOLONG;
        return -1;
    }
    std::strcpy(address.sun_path, path);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close_keeping_errno(fd);
        return -1;
    }
    return fd;
}

gint64 pipe_deadline() {
    return g_get_monotonic_time() + gint64{pipe_wait_ms()} * 1000;
}

// Waits until a program has opened the named pipe that `fd` reads. Until one has, the pipe
// reads as at its end, as after a writer has gone; one that a writer holds open with nothing in
// it yet refuses with EAGAIN. `byte` gets the byte that a look may have read.
bool wait_for_writer(int fd, int* byte) {
    gint64 deadline = pipe_deadline();
    for (;;) {
        int left = static_cast<int>(std::max<gint64>(deadline - g_get_monotonic_time(), 0) / 1000);
        pollfd look{fd, POLLIN, 0};
        // Something to read, or a writer that came and went (POLLHUP): the pipe's content is
        // all there will be.
        if (poll(&look, 1, std::min(left, PIPE_LOOK_MS)) > 0)
            return true;
        unsigned char c = 0;
        ssize_t n = read(fd, &c, 1);
        if (n == 1)
            *byte = c;
        if (n == 1 || (n < 0 && errno == EAGAIN))
            return true;
        if (n < 0 && errno != EINTR)
            return false;
        if (left == 0) {
            errno = ETIMEDOUT;
            return false;
        }
    }
}

} // namespace

int pipe_wait_ms() {
    const char* set = g_getenv("KELVRA_PIPE_WAIT_MS");
    return set ? static_cast<int>(std::min<guint64>(g_ascii_strtoull(set, nullptr, 10), G_MAXINT))
               : PIPE_WAIT_MS;
}

int open_straight(const char* path) {
    if (!std::strcmp(path, "-"))
        return fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 0);
    struct stat kind {};
    bool known = stat(path, &kind) == 0;
    if (known && S_ISSOCK(kind.st_mode))
        return connect_socket(path);
    gint64 deadline = pipe_deadline();
    int fd;
    // A named pipe without a reader refuses a writer that will not wait (ENXIO).
    while ((fd = open(path, O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC)) < 0 && errno == ENXIO &&
           known && S_ISFIFO(kind.st_mode)) {
        if (g_get_monotonic_time() >= deadline) {
            errno = ETIMEDOUT;
            return -1;
        }
        g_usleep(PIPE_LOOK_MS * 1000);
    }
    if (fd >= 0 && !blocking(fd)) {
        close_keeping_errno(fd);
        return -1;
    }
    return fd;
}

FILE* open_input(const char* path) {
    // Standard input is already open: whatever the shell had to wait for, it has.
    bool standard = !std::strcmp(path, "-");
    int fd = standard ? fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 0)
                      : open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    struct stat kind {};
    int byte = -1;
    bool usable = fstat(fd, &kind) == 0;
    if (usable && S_ISDIR(kind.st_mode)) {
        errno = EISDIR;
        usable = false;
    }
    usable = usable && (standard ||
                        ((!S_ISFIFO(kind.st_mode) || wait_for_writer(fd, &byte)) && blocking(fd)));
    FILE* file = usable ? fdopen(fd, "r") : nullptr;
    if (!file) {
        close_keeping_errno(fd);
        return nullptr;
    }
    if (byte >= 0)
        ungetc(byte, file);
    return file;
}
