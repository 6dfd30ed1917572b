#include "model/parameters.h"

#include "base/gmem.h"
#include "formats/configfile.h"
#include "text/choices.h"
#include "text/messages.h"

#include <cmath>
#include <glib/gi18n.h>

namespace {

std::string format_number(const std::string& format, int n) {
    if (n == 0)
        return format;
    char buffer[256];
    g_snprintf(buffer, sizeof buffer, format.c_str(), n);
    return buffer;
}

// A parameter of the description as relay (or index) n has it.
Parameter expand(const ParamDef& d, int n, uint16_t address, std::string id) {
    const char* label = d.translate_label ? _(d.label.c_str()) : d.label.c_str();
    return {address,       d.kind,
            d.scale,       format_number(d.widget, n),
            d.widget2,     format_number(label, n),
            std::move(id), &d};
}

void add(std::vector<Parameter>& map, const std::vector<ParamDef>& defs) {
    for (const ParamDef& d : defs)
        map.push_back(expand(d, d.index, d.address, d.id));
}

bool has_def(const std::vector<ParamDef>& defs, int address) {
    for (const ParamDef& d : defs)
        if (d.address == address)
            return true;
    return false;
}

} // namespace

std::vector<Parameter> parameter_map(const Variant& v) {
    std::vector<Parameter> map;
    add(map, v.head_params);
    for (int n = 1; n <= RELAYS_BOUND; ++n)
        for (const ParamDef& r : v.relay_params)
            map.push_back(expand(r, n, static_cast<uint16_t>(r.address + n - 1),
                                 r.id + "." + std::to_string(n)));
    add(map, tail_params());
    return map;
}

const Parameter* find_parameter(const std::vector<Parameter>& map, int address) {
    for (const Parameter& p : map)
        if (p.address == address)
            return &p;
    return nullptr;
}

bool in_map(const Variant& v, int address) {
    for (const ParamDef& r : v.relay_params)
        if (address >= r.address && address < r.address + RELAYS_BOUND)
            return true;
    return has_def(v.head_params, address) || has_def(tail_params(), address);
}

std::string value_text(const Parameter& p, uint16_t value, const std::vector<std::string>& rows) {
    char text[32];
    switch (p.kind) {
    case REGISTER_COMBO_BOX:
        if (value < rows.size())
            return rows[value];
        g_snprintf(text, sizeof text, "%u", value);
        break;
    case REGISTER_SPIN_BUTTON:
        if (p.scale == 1.0)
            g_snprintf(text, sizeof text, "%u", value);
        else
            g_snprintf(text, sizeof text, "%.1f", value / p.scale);
        break;
    case REGISTER_HOUR_MINUTE:
        g_snprintf(text, sizeof text, "%02u:%02u", value / 60u, value % 60u);
        break;
    case REGISTER_CALENDAR_YEAR:
        g_snprintf(text, sizeof text, "%u", value + 2000u);
        break;
    default:
        g_snprintf(text, sizeof text, "%u", value);
        break;
    }
    return text;
}

std::vector<std::string> choice_rows(const Parameter& p, int nrelays) {
    if (p.kind != REGISTER_COMBO_BOX)
        return {};
    if (p.def->choices == "alternate_activation")
        return alternate_activation_choices(nrelays);
    // The rows are translated as one text, as the interface files hold them.
    std::string joined;
    for (const Choice& c : choice_list(p.def->choices))
        joined += (joined.empty() ? "" : "\n") + c.label;
    std::vector<std::string> rows;
    GStrv split = g_strsplit(_(joined.c_str()), "\n", -1);
    for (gchar** row = split; *row; ++row)
        rows.push_back(*row);
    g_strfreev(split);
    return rows;
}

namespace {

// The raw register bounds of a parameter: shown bounds x scale.
int32_t raw(const Parameter& p, double shown) {
    return static_cast<int32_t>(std::lround(shown * p.scale));
}

int32_t raw_minimum(const Parameter& p) {
    return p.kind == REGISTER_COMBO_BOX ? 0 : raw(p, p.def->minimum);
}

int32_t raw_maximum(const Parameter& p, int nrelays) {
    if (p.kind == REGISTER_COMBO_BOX)
        return static_cast<int32_t>(choice_rows(p, nrelays).size()) - 1;
    return raw(p, p.def->maximum);
}

bool allowed(const Parameter& p, uint16_t value, int nrelays) {
    if (value < raw_minimum(p) || value > raw_maximum(p, nrelays))
        return false;
    // Either off or at least the smallest value that means something (tau, m).
    return p.def->off_or_at_least <= 0 || value == 0 || value >= raw(p, p.def->off_or_at_least);
}

} // namespace

std::string allowed_text(const Parameter& p, int nrelays) {
    if (p.kind == REGISTER_COMBO_BOX) {
        std::vector<std::string> rows = choice_rows(p, nrelays);
        std::string out;
        for (size_t i = 0; i < rows.size(); ++i)
            out += (i ? ", " : "") + std::to_string(i) + " (" + rows[i] + ")";
        return out;
    }
    int32_t low = raw_minimum(p), high = raw_maximum(p, nrelays);
    if (p.def->off_or_at_least > 0)
        low = raw(p, p.def->off_or_at_least);
    // TRANSLATORS: a parameter's range: lowest, highest and the unit, "0 to 200 °C".
    GCharPtr range(
        g_strdup_printf(_("%s to %s %s"), value_text(p, static_cast<uint16_t>(low)).c_str(),
                        value_text(p, static_cast<uint16_t>(high)).c_str(), p.def->unit.c_str()));
    std::string text = g_strchomp(range.get());
    // TRANSLATORS: a range that also allows 0 to switch the function off.
    return p.def->off_or_at_least > 0
               ? GCharPtr(g_strdup_printf(_("0 (off), or %s"), text.c_str())).get()
               : text;
}

std::vector<ValueFault> value_faults(const Parameters& p, const std::vector<Parameter>& map) {
    std::vector<ValueFault> out;
    for (uint16_t address : validation_order(*p.variant, p.nrelays, p.options)) {
        const Parameter* param = find_parameter(map, address);
        if (param && p.has(address) && !allowed(*param, p.value(address), p.nrelays))
            out.push_back({param, p.value(address)});
    }
    return out;
}

void set_clock(Parameters& p, const std::tm& t) {
    const int fields[] = {t.tm_hour, t.tm_min, t.tm_sec, t.tm_mday, t.tm_mon + 1, t.tm_year - 100};
    for (int i = 0; i < 6; ++i)
        p.set(CLOCK_BLOCK.first + i, static_cast<uint16_t>(fields[i]));
}

int first_missing(const Parameters& p) {
    for (uint16_t address : validation_order(*p.variant, p.nrelays, p.options))
        if (in_map(*p.variant, address) && !p.has(address))
            return address;
    return -1;
}

std::vector<Difference> differences(const Parameters& ours, const Parameters& theirs, int nrelays,
                                    int options) {
    std::vector<Difference> out;
    for (uint16_t a : config_addresses(*ours.variant, nrelays, options)) {
        if (!in_map(*ours.variant, a))
            continue;
        Difference d{a, ours.has(a), theirs.has(a), ours.value(a), theirs.value(a)};
        if (d.ours_known != d.theirs_known || d.ours != d.theirs)
            out.push_back(d);
    }
    return out;
}

int relays_in(const Parameters& p) {
    int n = 0;
    while (n < RELAYS_BOUND && p.has(n))
        ++n;
    return n;
}

int options_in(const Parameters& p) {
    return p.has(340) ? OPTION_DNP3 : 0;
}

int write_config(FILE* file, const Variant& v, int nrelays, int options,
                 const RegisterSource& source) {
    return write_config(file, v.device_name, config_addresses(v, nrelays, options), source);
}

int write_config(FILE* file, const Parameters& p) {
    return write_config(
        file, *p.variant, p.nrelays, p.options,
        // What the map lacks (a 15th relay) has no value for a file.
        [&p](int address) { return in_map(*p.variant, address) ? p.value(address) : 0; });
}

std::string config_text(const Parameters& p) {
    char* data = nullptr;
    size_t size = 0;
    FILE* memory = open_memstream(&data, &size);
    bool ok = memory && write_config(memory, p);
    if (memory)
        std::fclose(memory);
    std::string text = ok ? std::string(data, size) : "";
    free(data);
    return text;
}

int read_config(FILE* file, const Variant& v, const RegisterSink& apply, GError** error) {
    if (read_config(file, v.device_name, apply, error))
        return 1;
    // The other program's file is named by program, not by a device name no user knows.
    const char* found = error ? config_error_found_device(*error) : nullptr;
    const Variant* other = nullptr;
    for (const Variant* candidate : {&variant_full, &variant_rtd})
        if (found && g_str_equal(found, candidate->device_name))
            other = candidate;
    if (other) {
        std::string text = other_variant_file_text(other->program, v.program);
        g_free((*error)->message);
        (*error)->message = g_strdup(text.c_str());
    }
    return 0;
}

int read_config(FILE* file, Parameters& p, GError** error) {
    return read_config(
        file, *p.variant, [&p](int address, uint16_t value) { p.set(address, value); }, error);
}
