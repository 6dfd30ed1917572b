// The USB bridge behind the D2XX functions: an open device is a Port. The system opener finds
// the tty of a USB device by its product string; tests install an opener of their own.
#pragma once

#include "link/ftd2xx.h"

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace bridge {

class Port {
  public:
    virtual ~Port() = default;
    virtual FT_STATUS set_baud_rate(uint32_t baud) = 0;
    virtual FT_STATUS set_data_characteristics(uint8_t word_length, uint8_t stop_bits,
                                               uint8_t parity) = 0;
    virtual FT_STATUS set_flow_control(uint16_t mode, uint8_t xon, uint8_t xoff) = 0;
    virtual FT_STATUS purge(uint32_t mask) = 0;
    virtual FT_STATUS set_timeouts(uint32_t read_ms, uint32_t write_ms) = 0;
    virtual FT_STATUS write(const uint8_t* data, uint32_t count, uint32_t* written) = 0;
    virtual FT_STATUS read(uint8_t* data, uint32_t count, uint32_t* got) = 0;
    virtual FT_STATUS queue_status(uint32_t* queued) = 0;
    // Called once by FT_Close before the port is destroyed.
    virtual FT_STATUS close() = 0;
};

// Why a port could not be opened, for a message that names the place and the cause.
struct OpenFailure {
    enum Kind {
        none,
        not_found,   // no bridge with any of the product descriptions
        missing,     // no such device path
        busy,        // another program holds the port
        denied,      // the user may not open it
        bad_address, // a URL that names no host and port of a known kind
        unresolved,  // the host name is not known
        refused,     // nothing listens there
        unreachable, // no route to the host or its network
        timed_out,   // no answer to the connection in time
        other,
    } kind = none;
    std::string where;  // the path or HOST:PORT (on success, the path the system opener opened)
    std::string detail; // the system's words, where it has any
};

// A port over a file descriptor, for the bridge's serial devices and the network transports:
// reads and writes that wait with poll and return short when their timeout passes, as the D2XX
// ones do, and a queue count from FIONREAD. Line settings are the subclass's business; on a
// socket they mean nothing and succeed.
class FdPort : public Port {
  public:
    explicit FdPort(int fd) : fd_(fd) {}
    ~FdPort() override { FdPort::close(); }
    FdPort(const FdPort&) = delete;
    FdPort& operator=(const FdPort&) = delete;

    FT_STATUS set_baud_rate(uint32_t) override { return FT_OK; }
    FT_STATUS set_data_characteristics(uint8_t, uint8_t, uint8_t) override { return FT_OK; }
    FT_STATUS set_flow_control(uint16_t, uint8_t, uint8_t) override { return FT_OK; }
    // What has arrived and not been read is dropped; nothing waits to be sent on a socket.
    FT_STATUS purge(uint32_t mask) override;
    FT_STATUS set_timeouts(uint32_t read_ms, uint32_t write_ms) override;
    FT_STATUS write(const uint8_t* data, uint32_t count, uint32_t* written) override;
    FT_STATUS read(uint8_t* data, uint32_t count, uint32_t* got) override;
    FT_STATUS queue_status(uint32_t* queued) override;
    FT_STATUS close() override;

    using Clock = std::chrono::steady_clock;
    enum class Wait { Ready, Timeout, Failed };
    // Waits for `events` on the descriptor until the deadline.
    Wait wait(short events, Clock::time_point deadline);

  protected:
    int fd_;
    uint32_t read_ms_ = 2000;
    uint32_t write_ms_ = 2000;
};

// Opens the device with this product description into port; FT_OK or a failure status.
using Opener = std::function<FT_STATUS(const char* description, std::unique_ptr<Port>& port)>;

// Replaces the opener that FT_OpenEx uses; an empty one restores the system opener.
void set_opener(Opener opener);

// The system opener: KELVRA_PORT when set, else the ttys found by find_ttys.
FT_STATUS open_system(const char* description, std::unique_ptr<Port>& port,
                      OpenFailure* why = nullptr);

// What FT_OpenEx does by description: the installed opener, else the system's; *why says what
// kept a port closed.
FT_STATUS open_described(const char* description, std::unique_ptr<Port>& port,
                         OpenFailure* why = nullptr);

// Opens a serial device (a tty or a pseudo-terminal) in raw mode; *why says what kept it
// closed.
FT_STATUS open_posix(const std::string& path, std::unique_ptr<Port>& port,
                     OpenFailure* why = nullptr);

// A tty of a USB device: its device node and what the device reports of itself.
struct UsbTty {
    std::string path;
    std::string product; // the product description
    std::string serial;  // the USB serial number
};
// Every tty of a USB device, in name order. sysfs is the mount point of sysfs.
std::vector<UsbTty> usb_ttys(const std::string& sysfs = "/sys");
// Whether another program holds the port (this tool's lock, or an exclusive open).
bool held_elsewhere(const std::string& path);

// The device nodes of the ttys whose USB device reports this product string, in name order.
// sysfs is the mount point of sysfs; tests pass a tree of their own.
std::vector<std::string> find_ttys(const std::string& description,
                                   const std::string& sysfs = "/sys");

} // namespace bridge
