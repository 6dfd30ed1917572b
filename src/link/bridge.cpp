#include "link/bridge.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <glib.h>
#include <linux/serial.h>
#include <optional>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace bridge {
namespace {

Opener& current_opener() {
    static Opener opener;
    return opener;
}

struct Speed {
    uint32_t baud;
    speed_t code;
};
constexpr Speed SPEEDS[] = {
    {300, B300},       {600, B600},         {1200, B1200},       {2400, B2400},
    {4800, B4800},     {9600, B9600},       {19200, B19200},     {38400, B38400},
    {57600, B57600},   {115200, B115200},   {230400, B230400},   {460800, B460800},
    {921600, B921600}, {1000000, B1000000}, {2000000, B2000000}, {3000000, B3000000}};

class PosixPort final : public FdPort {
  public:
    using FdPort::FdPort;

    FT_STATUS set_baud_rate(uint32_t baud) override {
        auto it = std::find_if(std::begin(SPEEDS), std::end(SPEEDS),
                               [baud](const Speed& s) { return s.baud == baud; });
        if (it == std::end(SPEEDS))
            return FT_INVALID_BAUD_RATE;
        return change([&](termios& t) { return cfsetspeed(&t, it->code) == 0; });
    }
    FT_STATUS set_data_characteristics(uint8_t word_length, uint8_t stop_bits,
                                       uint8_t parity) override {
        if ((word_length != FT_BITS_7 && word_length != FT_BITS_8) ||
            (stop_bits != FT_STOP_BITS_1 && stop_bits != FT_STOP_BITS_2) || parity > FT_PARITY_EVEN)
            return FT_INVALID_PARAMETER;
        return change([&](termios& t) {
            t.c_cflag &= ~(CSIZE | CSTOPB | PARENB | PARODD);
            t.c_cflag |= word_length == FT_BITS_8 ? CS8 : CS7;
            if (stop_bits == FT_STOP_BITS_2)
                t.c_cflag |= CSTOPB;
            if (parity != FT_PARITY_NONE)
                t.c_cflag |= PARENB | (parity == FT_PARITY_ODD ? PARODD : 0);
            return true;
        });
    }
    FT_STATUS set_flow_control(uint16_t mode, uint8_t xon, uint8_t xoff) override {
        if (mode != FT_FLOW_NONE && mode != FT_FLOW_RTS_CTS && mode != FT_FLOW_XON_XOFF)
            return FT_INVALID_PARAMETER;
        return change([&](termios& t) {
            t.c_cflag &= ~CRTSCTS;
            t.c_iflag &= ~(IXON | IXOFF | IXANY);
            if (mode == FT_FLOW_RTS_CTS)
                t.c_cflag |= CRTSCTS;
            if (mode == FT_FLOW_XON_XOFF) {
                t.c_iflag |= IXON | IXOFF;
                t.c_cc[VSTART] = xon;
                t.c_cc[VSTOP] = xoff;
            }
            return true;
        });
    }
    FT_STATUS purge(uint32_t mask) override {
        if (fd_ < 0)
            return FT_INVALID_HANDLE;
        bool rx = mask & FT_PURGE_RX, tx = mask & FT_PURGE_TX;
        if (!rx && !tx)
            return FT_OK;
        int queue = rx && tx ? TCIOFLUSH : rx ? TCIFLUSH : TCOFLUSH;
        return tcflush(fd_, queue) == 0 ? FT_OK : FT_IO_ERROR;
    }

  private:
    template <typename F> FT_STATUS change(F edit) {
        if (fd_ < 0)
            return FT_INVALID_HANDLE;
        termios t{};
        if (tcgetattr(fd_, &t) != 0 || !edit(t))
            return FT_IO_ERROR;
        return tcsetattr(fd_, TCSANOW, &t) == 0 ? FT_OK : FT_IO_ERROR;
    }
};

// The first line of a sysfs attribute; none when the device does not have it.
std::optional<std::string> read_line(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    if (!std::getline(in, line))
        return std::nullopt;
    return line;
}

bool exists(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

} // namespace

void set_opener(Opener opener) {
    current_opener() = std::move(opener);
}

FT_STATUS open_posix(const std::string& path, std::unique_ptr<Port>& port, OpenFailure* why) {
    auto failed = [&](int error) {
        if (why) {
            OpenFailure::Kind kind = error == ENOENT || error == ENODEV || error == ENXIO
                                         ? OpenFailure::missing
                                     : error == EACCES || error == EPERM      ? OpenFailure::denied
                                     : error == EBUSY || error == EWOULDBLOCK ? OpenFailure::busy
                                                                              : OpenFailure::other;
            *why = {kind, path, g_strerror(error)};
        }
        return FT_DEVICE_NOT_OPENED;
    };
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return failed(errno);
    auto opened = std::make_unique<PosixPort>(fd);
    // An advisory lock keeps two instances of the tool off one controller; it goes with the
    // descriptor, so a crash never leaves the port locked.
    termios t{};
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 || tcgetattr(fd, &t) != 0)
        return failed(errno);
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    if (tcsetattr(fd, TCSANOW, &t) != 0)
        return failed(errno);
    // The FTDI driver holds received bytes up to 16 ms unless asked not to; a pseudo-terminal
    // refuses the request, which is fine.
    serial_struct ss{};
    if (ioctl(fd, TIOCGSERIAL, &ss) == 0) {
        ss.flags |= ASYNC_LOW_LATENCY;
        ioctl(fd, TIOCSSERIAL, &ss);
    }
    port = std::move(opened);
    return FT_OK;
}

std::vector<UsbTty> usb_ttys(const std::string& sysfs) {
    std::vector<std::string> names;
    std::string class_dir = sysfs + "/class/tty";
    if (DIR* dir = opendir(class_dir.c_str())) {
        while (dirent* e = readdir(dir))
            if (e->d_name[0] != '.')
                names.emplace_back(e->d_name);
        closedir(dir);
    }
    std::sort(names.begin(), names.end());
    std::vector<UsbTty> found;
    for (const auto& name : names) {
        char* resolved = realpath((class_dir + "/" + name + "/device").c_str(), nullptr);
        if (!resolved)
            continue; // no device behind it: a virtual terminal
        std::string dir = resolved;
        free(resolved);
        // The first ancestor with idVendor is the USB device; the hub above has a product
        // string too, so stop there.
        while (dir.size() > 1 && !exists(dir + "/idVendor"))
            dir.erase(dir.rfind('/') == 0 ? 1 : dir.rfind('/'));
        if (dir.size() > 1)
            found.push_back({"/dev/" + name, read_line(dir + "/product").value_or(""),
                             read_line(dir + "/serial").value_or("")});
    }
    return found;
}

std::vector<std::string> find_ttys(const std::string& description, const std::string& sysfs) {
    std::vector<std::string> found;
    for (const UsbTty& t : usb_ttys(sysfs))
        if (!description.empty() && t.product == description)
            found.push_back(t.path);
    return found;
}

bool held_elsewhere(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return errno == EBUSY;
    bool held = flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    ::close(fd);
    return held;
}

FT_STATUS open_system(const char* description, std::unique_ptr<Port>& port, OpenFailure* why) {
    const char* forced = getenv("KELVRA_PORT");
    std::vector<std::string> paths =
        forced && *forced ? std::vector<std::string>{forced} : find_ttys(description);
    if (why)
        *why = {OpenFailure::not_found, "", ""};
    FT_STATUS status = FT_DEVICE_NOT_FOUND;
    for (const auto& path : paths) {
        status = open_posix(path, port, why);
        if (status == FT_OK) {
            if (why)
                why->where = path;
            break;
        }
    }
    return status;
}

FT_STATUS open_described(const char* description, std::unique_ptr<Port>& port, OpenFailure* why) {
    try {
        auto& opener = current_opener();
        return opener ? opener(description, port) : open_system(description, port, why);
    } catch (...) {
        return FT_OTHER_ERROR;
    }
}

} // namespace bridge

FT_STATUS FT_OpenEx(void* arg, uint32_t flags, FT_HANDLE* handle) {
    if (!handle)
        return FT_INVALID_PARAMETER;
    *handle = nullptr;
    if (!arg || flags != FT_OPEN_BY_DESCRIPTION)
        return FT_INVALID_PARAMETER;
    std::unique_ptr<bridge::Port> port;
    FT_STATUS status = bridge::open_described(static_cast<const char*>(arg), port);
    if (status != FT_OK)
        return status;
    if (!port)
        return FT_DEVICE_NOT_OPENED;
    *handle = port.release();
    return FT_OK;
}

FT_STATUS FT_SetBaudRate(FT_HANDLE handle, uint32_t baud) {
    return handle ? handle->set_baud_rate(baud) : FT_INVALID_HANDLE;
}

FT_STATUS FT_SetDataCharacteristics(FT_HANDLE handle, uint8_t word_length, uint8_t stop_bits,
                                    uint8_t parity) {
    return handle ? handle->set_data_characteristics(word_length, stop_bits, parity)
                  : FT_INVALID_HANDLE;
}

FT_STATUS FT_SetFlowControl(FT_HANDLE handle, uint16_t mode, uint8_t xon, uint8_t xoff) {
    return handle ? handle->set_flow_control(mode, xon, xoff) : FT_INVALID_HANDLE;
}

FT_STATUS FT_Purge(FT_HANDLE handle, uint32_t mask) {
    return handle ? handle->purge(mask) : FT_INVALID_HANDLE;
}

FT_STATUS FT_SetTimeouts(FT_HANDLE handle, uint32_t read_timeout, uint32_t write_timeout) {
    return handle ? handle->set_timeouts(read_timeout, write_timeout) : FT_INVALID_HANDLE;
}

FT_STATUS FT_Write(FT_HANDLE handle, const void* buffer, uint32_t count, uint32_t* written) {
    if (!written)
        return FT_INVALID_PARAMETER;
    *written = 0;
    if (!handle)
        return FT_INVALID_HANDLE;
    if (!buffer && count)
        return FT_INVALID_PARAMETER;
    FT_STATUS status = handle->write(static_cast<const uint8_t*>(buffer), count, written);
    // Never let a port claim more than it was given.
    if (*written > count)
        return FT_OTHER_ERROR;
    return status;
}

FT_STATUS FT_Read(FT_HANDLE handle, void* buffer, uint32_t count, uint32_t* read) {
    if (!read)
        return FT_INVALID_PARAMETER;
    *read = 0;
    if (!handle)
        return FT_INVALID_HANDLE;
    if (!buffer && count)
        return FT_INVALID_PARAMETER;
    FT_STATUS status = handle->read(static_cast<uint8_t*>(buffer), count, read);
    if (*read > count)
        return FT_OTHER_ERROR;
    return status;
}

FT_STATUS FT_GetQueueStatus(FT_HANDLE handle, uint32_t* queued) {
    if (!queued)
        return FT_INVALID_PARAMETER;
    *queued = 0;
    return handle ? handle->queue_status(queued) : FT_INVALID_HANDLE;
}

FT_STATUS FT_Close(FT_HANDLE handle) {
    if (!handle)
        return FT_INVALID_HANDLE;
    std::unique_ptr<bridge::Port> owned(handle);
    FT_STATUS status = owned->close();
    return status;
}
