#include "model/variant.h"
#include "base/gmem.h"

#include <json-glib/json-glib.h>
#include <map>
#include <memory>

// device.json, as the build compiled it in.
extern const char DEVICE_DESCRIPTION[];

namespace {

struct Description {
    std::map<std::string, std::vector<Choice>> choices;
    std::vector<ParamDef> tail;
    std::vector<Variant> variants;
    uint16_t general_first = 0;
    Block current_loop{}, modbus_port{}, dnp3_port{};
};

// The description is part of the program: a fault in it is a build fault, found by every test.
[[noreturn]] void broken(const char* what) {
    g_error("device.json: %s", what);
}

const char* text(JsonObject* o, const char* member, const char* fallback = "") {
    return json_object_has_member(o, member) ? json_object_get_string_member(o, member) : fallback;
}

double number(JsonObject* o, const char* member, double fallback) {
    return json_object_has_member(o, member) ? json_object_get_double_member(o, member) : fallback;
}

Block block(JsonObject* o, const char* member) {
    JsonArray* a = json_object_get_array_member(o, member);
    if (!a || json_array_get_length(a) != 2)
        broken(member);
    return {static_cast<uint16_t>(json_array_get_int_element(a, 0)),
            static_cast<uint16_t>(json_array_get_int_element(a, 1))};
}

RegisterKind kind_named(const std::string& name) {
    static const std::map<std::string, RegisterKind> kinds{
        {"choice", REGISTER_COMBO_BOX},   {"number", REGISTER_SPIN_BUTTON},
        {"day", REGISTER_CALENDAR_DAY},   {"month", REGISTER_CALENDAR_MONTH},
        {"year", REGISTER_CALENDAR_YEAR}, {"hour_minute", REGISTER_HOUR_MINUTE}};
    auto at = kinds.find(name);
    if (at == kinds.end())
        broken(name.c_str());
    return at->second;
}

// A copy of `def` with what the description's fields of `o` override.
void read_fields(JsonObject* o, ParamDef& def) {
    def.widget = text(o, "widget", def.widget.c_str());
    def.widget2 = text(o, "widget2", def.widget2.c_str());
    def.label = text(o, "label", def.label.c_str());
    def.unit = text(o, "unit", def.unit.c_str());
    def.choices = text(o, "choices", def.choices.c_str());
    if (json_object_has_member(o, "kind"))
        def.kind = kind_named(text(o, "kind"));
    if (json_object_has_member(o, "translate"))
        def.translate_label = json_object_get_boolean_member(o, "translate");
    def.scale = number(o, "scale", def.scale);
    def.minimum = number(o, "min", def.minimum);
    def.maximum = number(o, "max", def.maximum);
    def.step = number(o, "step", def.step);
    def.off_or_at_least = number(o, "off_or_at_least", def.off_or_at_least);
    if (json_object_has_member(o, "window")) {
        JsonObject* window = json_object_get_object_member(o, "window");
        def.section = text(window, "section", "Relays");
    }
}

// [address, "id" or "id.N", {overrides}] entries against the shared parameter definitions.
std::vector<ParamDef> read_entries(JsonArray* entries,
                                   const std::map<std::string, ParamDef>& defs) {
    std::vector<ParamDef> out;
    for (guint i = 0; entries && i < json_array_get_length(entries); ++i) {
        JsonArray* e = json_array_get_array_element(entries, i);
        std::string id = json_array_get_string_element(e, 1);
        size_t dot = id.find('.');
        auto at = defs.find(id.substr(0, dot));
        if (at == defs.end())
            broken(id.c_str());
        ParamDef def = at->second;
        def.address = static_cast<uint16_t>(json_array_get_int_element(e, 0));
        def.id = id;
        if (dot != std::string::npos)
            def.index = std::atoi(id.c_str() + dot + 1);
        if (json_array_get_length(e) > 2)
            read_fields(json_array_get_object_element(e, 2), def);
        out.push_back(def);
    }
    return out;
}

Description parse() {
    std::unique_ptr<JsonParser, decltype(&g_object_unref)> parser(json_parser_new(),
                                                                  &g_object_unref);
    if (!json_parser_load_from_data(parser.get(), DEVICE_DESCRIPTION, -1, nullptr))
        broken("not JSON");
    JsonObject* root = json_node_get_object(json_parser_get_root(parser.get()));
    Description d;
    JsonObject* blocks = json_object_get_object_member(root, "blocks");
    d.general_first = static_cast<uint16_t>(json_object_get_int_member(blocks, "general_first"));
    d.current_loop = block(blocks, "current_loop");
    d.modbus_port = block(blocks, "modbus_port");
    d.dnp3_port = block(blocks, "dnp3_port");

    JsonObject* choices = json_object_get_object_member(root, "choices");
    GListPtr names(json_object_get_members(choices));
    for (GList* n = names.get(); n; n = n->next) {
        auto* name = static_cast<const char*>(n->data);
        JsonArray* rows = json_object_get_array_member(choices, name);
        std::vector<Choice>& list = d.choices[name];
        for (guint i = 0; i < json_array_get_length(rows); ++i) {
            JsonArray* row = json_array_get_array_element(rows, i);
            list.push_back(
                {json_array_get_string_element(row, 0),
                 json_array_get_length(row) > 1 ? json_array_get_string_element(row, 1) : ""});
        }
    }

    std::map<std::string, ParamDef> defs;
    JsonObject* params = json_object_get_object_member(root, "parameters");
    GListPtr ids(json_object_get_members(params));
    for (GList* n = ids.get(); n; n = n->next) {
        auto* id = static_cast<const char*>(n->data);
        ParamDef& def = defs[id];
        def.id = id;
        read_fields(json_object_get_object_member(params, id), def);
        if (def.kind == REGISTER_COMBO_BOX && !d.choices.count(def.choices))
            broken(id);
    }
    d.tail = read_entries(json_object_get_array_member(root, "tail"), defs);
    JsonArray* variants = json_object_get_array_member(root, "variants");
    for (guint i = 0; i < json_array_get_length(variants); ++i) {
        JsonObject* v = json_array_get_object_element(variants, i);
        d.variants.push_back({g_intern_string(text(v, "program")),
                              g_intern_string(text(v, "interface")),
                              g_intern_string(text(v, "device_name")),
                              read_entries(json_object_get_array_member(v, "relay"), defs),
                              static_cast<uint16_t>(json_object_get_int_member(v, "general_count")),
                              read_entries(json_object_get_array_member(v, "head"), defs)});
    }
    if (d.variants.size() != 2)
        broken("two variants expected");
    return d;
}

const Description& description() {
    static const Description d = parse();
    return d;
}

} // namespace

const Variant variant_full = description().variants[0];
const Variant variant_rtd = description().variants[1];

const std::vector<ParamDef>& tail_params() {
    return description().tail;
}

const std::vector<Choice>& choice_list(const std::string& name) {
    static const std::vector<Choice> none;
    auto at = description().choices.find(name);
    return at == description().choices.end() ? none : at->second;
}

const Variant* variant_of_program(const char* program) {
    for (const Variant* v : {&variant_full, &variant_rtd})
        if (program && g_str_equal(program, v->program))
            return v;
    return nullptr;
}

std::vector<Block> transfer_blocks(const Variant& v, int nrelays, int options, bool with_clock) {
    const Description& d = description();
    std::vector<Block> blocks;
    for (const auto& r : v.relay_params)
        blocks.push_back({r.address, static_cast<uint16_t>(nrelays)});
    blocks.push_back({d.general_first, v.general_count});
    blocks.push_back(d.current_loop);
    blocks.push_back((options & OPTION_DNP3) ? d.dnp3_port : d.modbus_port);
    if (with_clock)
        blocks.push_back(CLOCK_BLOCK);
    return blocks;
}

std::vector<uint16_t> validation_order(const Variant& v, int nrelays, int options) {
    std::vector<uint16_t> order;
    for (int i = 0; i < nrelays; ++i)
        for (const auto& r : v.relay_params)
            order.push_back(static_cast<uint16_t>(r.address + i));
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
