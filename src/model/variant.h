// What differs between the full program and the RTD-only one, as data: the interface file,
// the configuration device name, every parameter with its range or choices, and the order of the
// transfer blocks. All of it is read from device.json, compiled into the program, which
// ui/generate.py also draws the windows from.
#pragma once

#include <cstdint>
#include <string>
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

// One row of a choice: a stable id, and the row's text before translation.
struct Choice {
    std::string id;
    std::string label;
};

// One parameter of a variant's description. A per-relay one stands for relay 1 (`address`);
// relay n has address + n - 1. Its widget, label and id take the relay's number where they hold
// "%d"; a numbered general parameter (delta_t.2) takes its own `index` the same way.
struct ParamDef {
    uint16_t address = 0;
    std::string id;      // stable, locale-free: "set_point_c", "tau"
    int index = 0;       // the number a numbered general parameter fills in; 0 for none
    std::string widget;  // for REGISTER_HOUR_MINUTE the hour spin button
    std::string widget2; // the minute spin button of an hour-minute pair
    std::string label;   // before translation
    bool translate_label = true;
    std::string unit;
    RegisterKind kind = REGISTER_NONE;
    double scale = 1.0;                        // register value = shown value x scale
    double minimum = 0, maximum = 0, step = 1; // in shown units
    double off_or_at_least = 0; // either 0 (off) or at least this; 0 when there is no such rule
    std::string choices;        // the choice list of a combo box
    std::string section;        // where the window shows it ("Relays" for a relay's)
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
    std::vector<ParamDef> relay_params;
    uint16_t general_count; // registers 200 .. 200 + general_count - 1
    // Parameters bound before the relays (general settings, current loop output).
    std::vector<ParamDef> head_params;
};

// Parameters bound after the relays, the same in both variants: the two port blocks and the clock.
const std::vector<ParamDef>& tail_params();
// A choice list of the description by name; empty for an unknown name.
const std::vector<Choice>& choice_list(const std::string& name);

extern const Variant variant_full;
extern const Variant variant_rtd;
// The variant of a program name ("kelvra", "kelvra0"); null for another.
const Variant* variant_of_program(const char* program);

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
