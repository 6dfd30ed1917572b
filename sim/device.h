// A model of the temperature controller as seen from its USB port: holding registers, the
// identification block, the event memory and the MODBUS RTU request handling (functions 3 and
// 16, exception replies). No I/O here: requests in, replies out, as byte vectors.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace sim {

// Computed bit by bit, independently of the tool's table-driven CRC, so that the simulator
// stays an independent peer of the code it tests.
uint16_t crc16(std::span<const uint8_t> bytes);
// Appends the CRC of `frame`, low byte first.
void append_crc(std::vector<uint8_t>& frame);
// True when the frame's last two bytes are the CRC of the rest.
bool crc_ok(std::span<const uint8_t> frame);

enum class Variant { full, rtd };

constexpr uint8_t SLAVE_ADDRESS = 1;

struct DeviceConfig {
    int relays = 14; // 0..15
    int options = 2; // bit 0: DNP3 port, bit 1: event memory
    Variant variant = Variant::full;
    // Records written so far; the rest of the memory is erased (bytes 0xFF).
    size_t event_records = 3584;
    // Registers that keep at most a limit of what is written to them, as a controller that
    // clamps a value to its range does (address, limit).
    std::vector<std::pair<uint16_t, uint16_t>> clamps = {};
    // The address it answers to (1..247); requests for any other are left to other devices.
    uint8_t slave = SLAVE_ADDRESS;
};

constexpr uint16_t REGISTER_COUNT = 1024;
constexpr uint16_t IDENT_ADDRESS = 0xFFF0;
constexpr uint16_t IDENT_WORDS = 9;
constexpr uint16_t DUMP_ADDRESS = 0xFFE0;
constexpr size_t RECORD_SIZE = 18;
constexpr size_t RECORD_COUNT = 3584;
constexpr size_t DUMP_SIZE = RECORD_SIZE * RECORD_COUNT; // 0xFC00

// MODBUS exception codes (MODBUS Application Protocol, section 7).
constexpr uint8_t ILLEGAL_FUNCTION = 1;
constexpr uint8_t ILLEGAL_DATA_ADDRESS = 2;
constexpr uint8_t ILLEGAL_DATA_VALUE = 3;
constexpr uint8_t DEVICE_FAILURE = 4;
constexpr uint8_t GATEWAY_TARGET_FAILED = 0x0B; // no reply from the device behind a gateway

// What the device makes of one request.
struct Answer {
    enum Kind {
        silent,    // not for us, or damaged: no reply on an RTU line
        normal,    // a normal reply frame, CRC included
        exception, // an exception reply frame, CRC included
        dump,      // the raw event memory image, no framing
    };
    Kind kind = silent;
    std::vector<uint8_t> bytes;
    // The request log line: "R <first> <count>", "W <first> <count> <values...>" or
    // "? <hex bytes>" for what was not understood.
    std::string log;
    uint8_t function = 0;
    uint16_t first = 0; // first register address of the request (for fault targeting)
};

// A deterministic event memory: 3584 records of a transformer warming and cooling over days,
// relays switching at the given set points with the given hysteresis (both in °C).
std::vector<uint8_t> make_event_image(int relays, std::span<const uint16_t> set_points,
                                      std::span<const uint16_t> hysteresis);

class Device {
  public:
    explicit Device(const DeviceConfig& config);

    // One complete request frame, CRC included.
    Answer handle(std::span<const uint8_t> frame);

    // Whether the register exists on this device (variant, relay count, option bit 0).
    bool has_register(uint16_t address) const;
    uint16_t reg(uint16_t address) const { return registers_.at(address); }
    void set_reg(uint16_t address, uint16_t value) { registers_.at(address) = value; }
    std::array<uint16_t, IDENT_WORDS> identification() const;
    // Sends this first identification word whatever relays and options say (to show a client
    // bits it must ignore); the registers still follow relays and options.
    void override_ident_word(uint16_t word) { ident_word_ = word; }
    const std::vector<uint8_t>& event_image() const { return events_; }
    const DeviceConfig& config() const { return config_; }

  private:
    Answer read(uint16_t first, uint16_t count);
    Answer write(uint16_t first, uint16_t count, std::span<const uint8_t> data);
    bool range_exists(uint32_t first, uint32_t count) const;
    bool value_allowed(uint16_t address, uint16_t value) const;

    DeviceConfig config_;
    std::array<uint16_t, REGISTER_COUNT> registers_{};
    std::vector<uint8_t> events_;
    std::optional<uint16_t> ident_word_;
};

std::string hex_bytes(std::span<const uint8_t> bytes);

} // namespace sim
