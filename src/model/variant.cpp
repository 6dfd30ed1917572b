#include "model/variant.h"

#include <array>
#include <glib/gi18n.h>

namespace {

// ui/generate.py names the interface files' widgets from these arrays: an entry keeps the
// shape {address, "widget", ...} on its lines, the second widget (if any) last.
constexpr std::array<RelayParamDef, 9> full_relay{{
    {0, "SetPoint C %d", N_("Set Point (°C) %d"), REGISTER_SPIN_BUTTON, 1.0},
    {20, "Hysteresis C %d", N_("Hysteresis (°C) %d"), REGISTER_SPIN_BUTTON, 1.0},
    {120, "SetPoint I %d", N_("Set Point (I%%) %d"), REGISTER_SPIN_BUTTON, 1.0},
    {140, "Hysteresis I %d", N_("Hysteresis (I%%) %d"), REGISTER_SPIN_BUTTON, 1.0},
    {40, "Timeout %d", N_("Timeout %d"), REGISTER_SPIN_BUTTON, 10.0},
    {60, "Associated Channel %d", N_("Associated Channel %d"), REGISTER_COMBO_BOX, 0},
    {80, "Forced Activation %d", N_("Forced Activation %d"), REGISTER_COMBO_BOX, 0},
    {100, "Activation Logic %d", N_("Activation Logic %d"), REGISTER_COMBO_BOX, 0},
    {160, "Associated Function %d", N_("Associated Function %d"), REGISTER_COMBO_BOX, 0},
}};

constexpr std::array<RelayParamDef, 7> rtd_relay{{
    full_relay[0],
    full_relay[1],
    full_relay[4],
    full_relay[5],
    full_relay[6],
    full_relay[7],
    full_relay[8],
}};

constexpr std::array<ParamDef, 16> full_head{{
    {200, "IndicationType", N_("Indication Type"), REGISTER_COMBO_BOX, 0, true},
    {201, "DeltaT1", N_("Delta T1"), REGISTER_SPIN_BUTTON, 1.0, true},
    {202, "DeltaT2", N_("Delta T2"), REGISTER_SPIN_BUTTON, 1.0, true},
    {203, "DeltaT3", N_("Delta T3"), REGISTER_SPIN_BUTTON, 1.0, true},
    {204, "In1", N_("In 1"), REGISTER_SPIN_BUTTON, 10.0, true},
    {205, "In2", N_("In 2"), REGISTER_SPIN_BUTTON, 10.0, true},
    {206, "In3", N_("In 3"), REGISTER_SPIN_BUTTON, 10.0, true},
    {207, "AlternateActivation", N_("Alternate Activation"), REGISTER_COMBO_BOX, 0, true},
    {208, "tau", "tau", REGISTER_SPIN_BUTTON, 10.0, false},
    {209, "m", "m", REGISTER_SPIN_BUTTON, 10.0, false},
    {210, "Frequency", N_("Line Frequency"), REGISTER_COMBO_BOX, 0, true},
    {211, "DailyCoolingStartHour", N_("Daily Cooling - Start"), REGISTER_HOUR_MINUTE, 0, true,
     "DailyCoolingStartMinute"},
    {212, "DailyCoolingDuration", N_("Daily Cooling - Duration"), REGISTER_SPIN_BUTTON, 1.0, true},
    {213, "EventTimer", N_("Event Timer"), REGISTER_SPIN_BUTTON, 1.0, true},
    {300, "IoutScale", N_("Current Loop Scale"), REGISTER_COMBO_BOX, 0, true},
    {301, "IoutFS", N_("Current Loop Full Scale"), REGISTER_SPIN_BUTTON, 1.0, true},
}};

constexpr std::array<ParamDef, 7> rtd_head{{
    {200, "IndicationType", N_("Indication Type"), REGISTER_COMBO_BOX, 0, true},
    {201, "NActiveRTDS", N_("Number of Active RTDS"), REGISTER_SPIN_BUTTON, 1.0, true},
    {202, "AlternateActivation", N_("Alternate Activation"), REGISTER_COMBO_BOX, 0, true},
    {203, "DailyCoolingStartHour", N_("Daily Cooling - Start"), REGISTER_HOUR_MINUTE, 0, true,
     "DailyCoolingStartMinute"},
    {204, "DailyCoolingDuration", N_("Daily Cooling - Duration"), REGISTER_SPIN_BUTTON, 1.0, true},
    {300, "IoutScale", N_("Current Loop Scale"), REGISTER_COMBO_BOX, 0, true},
    {301, "IoutFS", N_("Current Loop Full Scale"), REGISTER_SPIN_BUTTON, 1.0, true},
}};

constexpr std::array<ParamDef, 17> common_tail{{
    {320, "MODBUSBaudRate", "MODBUS Baud Rate", REGISTER_COMBO_BOX, 0, false},
    {321, "MODBUSFormat", "MODBUS Format", REGISTER_COMBO_BOX, 0, false},
    {322, "MODBUSAddress", "MODBUS Address", REGISTER_SPIN_BUTTON, 1.0, false},
    {340, "DNP3BaudRate", "DNP3 Baud Rate", REGISTER_COMBO_BOX, 0, false},
    {341, "DNP3Format", "DNP3 Format", REGISTER_COMBO_BOX, 0, false},
    {342, "DNP3Address", "DNP3 Address", REGISTER_SPIN_BUTTON, 1.0, false},
    {343, "DNP3Confirm", "DNP3 Application Layer Confirmation", REGISTER_COMBO_BOX, 0, false},
    {344, "DNP3MaxGap", "DNP3 Maximum Inter-octet Gap", REGISTER_SPIN_BUTTON, 1.0, false},
    {345, "DNP3FixedDelay", "DNP3 Backoff Delay (fixed)", REGISTER_SPIN_BUTTON, 1.0, false},
    {346, "DNP3RandomDelay", "DNP3 Backoff Delay (random)", REGISTER_SPIN_BUTTON, 1.0, false},
    {347, "DNP3InterFrameGap", "DNP3 Inter-Frame Gap", REGISTER_COMBO_BOX, 0, false},
    {400, "Hour", N_("Hour"), REGISTER_SPIN_BUTTON, 1.0, true},
    {401, "Minute", N_("Minute"), REGISTER_SPIN_BUTTON, 1.0, true},
    {402, "Second", N_("Second"), REGISTER_SPIN_BUTTON, 1.0, true},
    {403, "Date", N_("Day"), REGISTER_CALENDAR_DAY, 0, true},
    {404, "Date", N_("Month"), REGISTER_CALENDAR_MONTH, 0, true},
    {405, "Date", N_("Year"), REGISTER_CALENDAR_YEAR, 0, true},
}};

constexpr Block port_block(int options) {
    return (options & OPTION_DNP3) ? Block{340, 8} : Block{320, 3};
}

} // namespace

const Variant variant_full{"kelvra", "kelvra.glade", "varnel", full_relay, 14, full_head};
const Variant variant_rtd{"kelvra0", "kelvra0.glade", "varnel0", rtd_relay, 5, rtd_head};

std::span<const ParamDef> tail_params() {
    return common_tail;
}

std::vector<Block> transfer_blocks(const Variant& v, int nrelays, int options, bool with_clock) {
    std::vector<Block> blocks;
    for (const auto& r : v.relay_params)
        blocks.push_back({r.base, static_cast<uint16_t>(nrelays)});
    blocks.push_back({200, v.general_count});
    blocks.push_back({300, 2});
    blocks.push_back(port_block(options));
    if (with_clock)
        blocks.push_back(CLOCK_BLOCK);
    return blocks;
}

std::vector<uint16_t> validation_order(const Variant& v, int nrelays, int options) {
    std::vector<uint16_t> order;
    for (int i = 0; i < nrelays; ++i)
        for (const auto& r : v.relay_params)
            order.push_back(static_cast<uint16_t>(r.base + i));
    for (const Block& b : transfer_blocks(v, 0, options, true)) {
        if (b.count == 0)
            continue;
        for (uint16_t k = 0; k < b.count; ++k)
            order.push_back(static_cast<uint16_t>(b.first + k));
    }
    return order;
}

std::vector<uint16_t> config_addresses(const Variant& v, int nrelays, int options) {
    std::vector<uint16_t> out;
    for (const Block& b : transfer_blocks(v, nrelays, options, false))
        for (int k = 0; k < b.count; ++k)
            out.push_back(static_cast<uint16_t>(b.first + k));
    return out;
}
