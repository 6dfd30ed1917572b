// What differs between the full program and the RTD-only one, as data: the interface file,
// the configuration device name, the parameter map and the order of the transfer blocks.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

enum RegisterKind : int32_t {
    REGISTER_NONE = 0,
    REGISTER_COMBO_BOX = 1,
    REGISTER_SPIN_BUTTON = 2,
    REGISTER_CALENDAR_DAY = 3,
    REGISTER_CALENDAR_MONTH = 4,
    REGISTER_CALENDAR_YEAR = 5,
    REGISTER_HOUR_MINUTE = 6,
};

// One parameter of the map. For REGISTER_HOUR_MINUTE, `widget2` names the minute spin button.
struct ParamDef {
    uint16_t address;
    const char* widget;
    const char* label;
    RegisterKind kind;
    double scale; // spin buttons only
    bool translate_label;
    const char* widget2 = nullptr;
};

// A per-relay parameter: relay n (1..14) has register `base` + n - 1; the widget name and label
// are printf formats filled with n.
struct RelayParamDef {
    uint16_t base;
    const char* widget_format;
    const char* label_format;
    RegisterKind kind;
    double scale;
};

struct Block {
    uint16_t first;
    uint16_t count;
    bool operator==(const Block&) const = default;
};

constexpr int REGISTER_COUNT = 1024; // parameter registers 0 to 1023
constexpr int RELAYS_BOUND = 14;     // relays that have parameters in the maps
constexpr int OPTION_DNP3 = 1;
constexpr int OPTION_EVENTS = 2;

// The folders searched for the interface files, in order: under the working directory, then
// the system's.
constexpr const char* SYSTEM_UI_DIR = "/usr/share/ostrel/ui/";
constexpr const char* UI_FOLDERS[] = {"ui/", SYSTEM_UI_DIR};

struct Variant {
    const char* program;     // "kelvra" or "kelvra0"
    const char* main_ui;     // main interface file
    const char* device_name; // configuration file device name
    // Per-relay parameters, in transfer order (which is the order of validation within a relay).
    std::span<const RelayParamDef> relay_params;
    uint16_t general_count; // registers 200 .. 200 + general_count - 1
    // Parameters bound before the relays (general settings, current loop output).
    std::span<const ParamDef> head_params;
};

// Parameters bound after the relays, the same in both variants: the two port blocks and the clock.
std::span<const ParamDef> tail_params();

extern const Variant variant_full;
extern const Variant variant_rtd;
// The variant the running program is; set once by the entry file (tests switch it). A field
// of the program's parameters (model/parameters.h).
extern const Variant*& variant;

constexpr Block CLOCK_BLOCK{400, 6};

// The transfer blocks in the order that download, upload, validation and the configuration
// writer share; the clock block last, when asked for.
std::vector<Block> transfer_blocks(const Variant& v, int nrelays, int options, bool with_clock);

// The registers a configuration file holds, in the order they are written: the transfer blocks
// without the clock.
std::vector<uint16_t> config_addresses(const Variant& v, int nrelays, int options);

// Every register of the transfer, in the order the validation visits them: relay by relay,
// then the fixed blocks.
std::vector<uint16_t> validation_order(const Variant& v, int nrelays, int options);
