// The USB bridge behind the D2XX functions: an open device is a Port. The system opener finds
// the tty of a USB device by its product string; tests install an opener of their own.
#pragma once

#include "link/ftd2xx.h"

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

// Opens the device with this product description into port; FT_OK or a failure status.
using Opener = std::function<FT_STATUS(const char* description, std::unique_ptr<Port>& port)>;

// Replaces the opener that FT_OpenEx uses; an empty one restores the system opener.
void set_opener(Opener opener);

// The system opener: KELVRA_PORT when set, else the ttys found by find_ttys.
FT_STATUS open_system(const char* description, std::unique_ptr<Port>& port);

// The device node the system opener opened last: what a user names with --port.
const std::string& opened_path();

// Opens a serial device (a tty or a pseudo-terminal) in raw mode.
FT_STATUS open_posix(const std::string& path, std::unique_ptr<Port>& port);

// The device nodes of the ttys whose USB device reports this product string, in name order.
// sysfs is the mount point of sysfs; tests pass a tree of their own.
std::vector<std::string> find_ttys(const std::string& description,
                                   const std::string& sysfs = "/sys");

} // namespace bridge
