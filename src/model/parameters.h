// model/: the parameters of a controller without any widget. The variants as data (parameter
// maps, transfer blocks), the register values with whether each has one, validation, the
// differences of two sets, and the transfers that walk the blocks over the link. It uses link/,
// formats/ and base/; nothing here may include the toolkit.
//
// This header, the parameter model: the register values of one controller or one configuration
// file, and the layout they belong to (variant, relay count, option bits).
#pragma once

#include "formats/configfile.h"
#include "model/variant.h"

#include <array>
#include <bitset>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <glib.h>
#include <string>
#include <vector>

struct Parameters {
    const Variant* variant = &variant_full;
    int nrelays = 0; // relay count of the last identification, 0 to 15
    int options = 0; // option bits of the last identification
    std::array<uint16_t, REGISTER_COUNT> values{};
    std::bitset<REGISTER_COUNT> known;

    bool has(int address) const { return known.test(static_cast<size_t>(address)); }
    uint16_t value(int address) const { return values[static_cast<size_t>(address)]; }
    void set(int address, uint16_t v) {
        values[static_cast<size_t>(address)] = v;
        known.set(static_cast<size_t>(address));
    }
    void forget(int address) {
        values[static_cast<size_t>(address)] = 0;
        known.reset(static_cast<size_t>(address));
    }
};

// One parameter of a variant's map, as the window binds and labels it.
struct Parameter {
    uint16_t address;
    RegisterKind kind;
    double scale; // spin buttons only
    std::string widget;
    std::string widget2; // the minute spin button of an hour-minute pair
    std::string label;   // translated, relay numbers filled in
    std::string id;      // stable and locale-free, relay numbers filled in: "set_point_c.3"
    const ParamDef* def; // its description: unit, range, choices
};

// The variant's map in binding order: the general parameters, relays 1 to 14, the ports and
// the clock.
std::vector<Parameter> parameter_map(const Variant& v);
// The parameter at an address of a map; null when the map has none there.
const Parameter* find_parameter(const std::vector<Parameter>& map, int address);
// Whether the variant's map has a parameter at the address (a 15th relay has none).
bool in_map(const Variant& v, int address);

// The rows of a choice parameter, translated; the alternate activation's name the last relays
// of a controller with `nrelays` relays. Empty for any other kind.
std::vector<std::string> choice_rows(const Parameter& p, int nrelays = RELAYS_BOUND);

// A register value in the units the window shows it in: "12.5" for a spin button of scale 10,
// "07:05" for an hour-minute pair, the year for the calendar's year, and for a choice its row
// among `rows` (the row number when it has no such row).
std::string value_text(const Parameter& p, uint16_t value,
                       const std::vector<std::string>& rows = {});

// What the description allows of a parameter, in the units the window shows:
// "0 to 200 °C", "0 (off), or 3.0 to 120.0 min", "0 (50 Hz), 1 (60 Hz)".
std::string allowed_text(const Parameter& p, int nrelays);

// A register of a parameter set holding a value its parameter does not allow.
struct ValueFault {
    const Parameter* param;
    uint16_t value;
};
// Every value of p's layout that is out of its parameter's range or choices, in validation
// order; registers without a value are left to first_missing.
std::vector<ValueFault> value_faults(const Parameters& p, const std::vector<Parameter>& map);

// The clock registers 400 to 405 set to a local time (the year counts from 2000).
void set_clock(Parameters& p, const std::tm& t);

// The validation pass: the first register of the transfer, in validation order, that the map
// has and the values lack; -1 when every one has a value.
int first_missing(const Parameters& p);

// A register in which two parameter sets differ; one without a value differs from any.
struct Difference {
    uint16_t address;
    bool ours_known, theirs_known;
    uint16_t ours, theirs;
};
// The parameters of a layout (relays, option bits) in which two sets differ, in transfer order.
// The clock is left out: it runs on, and a configuration file has none.
std::vector<Difference> differences(const Parameters& ours, const Parameters& theirs, int nrelays,
                                    int options);
// The layout a parameter set covers: the relays of its first relay block, and the DNP3 port
// when it has that port's registers.
int relays_in(const Parameters& p);
int options_in(const Parameters& p);

// The configuration file of a layout, each value from `source`; 1 when all of it was written.
int write_config(FILE* file, const Variant& v, int nrelays, int options,
                 const RegisterSource& source);
// The configuration file of p's layout; a register without a value is written as 0. 1 when all
// of it was written.
int write_config(FILE* file, const Parameters& p);
// The bytes of that file, as it is saved; empty when it could not be made.
std::string config_text(const Parameters& p);
// Reads a configuration file of the variant, each value through `apply`; 0 with *error set at
// the first fault (the values read before it were applied). A file of the other variant is
// said to be one, by program name.
int read_config(FILE* file, const Variant& v, const RegisterSink& apply, GError** error);
// Reads a configuration file of p's variant into p; 0 with *error set at the first fault (the
// values read before it stay in p).
int read_config(FILE* file, Parameters& p, GError** error);
