#include "formats/configfile.h"
#include "base/gmem.h"

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <glib/gi18n.h>
#include <memory>

GQuark domain = 0;

namespace {

constexpr const char* HEADER = "<configuration version=\"1.0\">\n  <device name=\"%s\">\n";
constexpr const char* PARAMETER = "    <parameter type=\"uint16\" address=\"%d\">%d</parameter>\n";
constexpr char FOOTER[] = "  </device>\n</configuration>\n";

constexpr int TEXT_LIMIT = 127; // bytes of a parameter text that are judged and quoted

int write_text(FILE* file, GCharPtr text) {
    size_t length = std::strlen(text.get());
    return std::fwrite(text.get(), 1, length, file) == length ? 1 : 0;
}

// What each error of the reader carries besides its message (a GLib extended error).
struct ErrorData {
    char* found_device;
};

ErrorData* error_data(const GError* error) {
    // Where GLib keeps an extended error's data: just before the error, aligned as
    // G_DEFINE_EXTENDED_ERROR reaches it.
    constexpr gsize align = 2 * sizeof(gsize);
    constexpr gsize offset = (sizeof(ErrorData) + align - 1) & ~(align - 1);
    return reinterpret_cast<ErrorData*>(reinterpret_cast<uintptr_t>(error) - offset);
}

void fail(GError** error, ConfigError code, const char* format, ...) G_GNUC_PRINTF(3, 4);
void fail(GError** error, ConfigError code, const char* format, ...) {
    va_list args;
    va_start(args, format);
    GCharPtr message(g_strdup_vprintf(format, args));
    va_end(args);
    g_set_error_literal(error, config_error_quark(), code, message.get());
}

// A decimal integer as sscanf's "%d" reads it (leading blanks, a sign, digits, anything after
// ignored), but without its undefined behaviour on overflow: the value saturates instead.
bool read_integer(const char* text, long long* out) {
    const char* p = text;
    // The white space of C's isspace, vertical tab included (GLib's leaves it out).
    while (*p == ' ' || (*p >= '\t' && *p <= '\r'))
        ++p;
    const char* digits = (*p == '+' || *p == '-') ? p + 1 : p;
    if (!g_ascii_isdigit(*digits))
        return false;
    *out = g_ascii_strtoll(p, nullptr, 10);
    return true;
}

bool is_version_one(const char* text) {
    // Locale-independent, unlike "%lf": a decimal comma locale must not change the reading.
    char* end = nullptr;
    double v = g_ascii_strtod(text, &end);
    return end != text && v == 1.0;
}
} // namespace

GQuark config_error_quark() {
    // The name start-up gives `domain`, so that both are the one quark.
    static const GQuark quark = g_error_domain_register_static(
        "BRESKA", sizeof(ErrorData), [](GError* e) { error_data(e)->found_device = nullptr; },
        [](const GError* from, GError* to) {
            error_data(to)->found_device = g_strdup(error_data(from)->found_device);
        },
        [](GError* e) { g_clear_pointer(&error_data(e)->found_device, g_free); });
    return quark;
}

const char* config_error_found_device(const GError* error) {
    return g_error_matches(error, config_error_quark(), CONFIG_ERROR_WRONG_DEVICE)
               ? error_data(error)->found_device
               : nullptr;
}

int write_config_header(FILE* file, const char* device_name) {
    return write_text(file, GCharPtr(g_markup_printf_escaped(HEADER, device_name)));
}

int write_config_footer(FILE* file) {
    return write_text(file, GCharPtr(g_markup_printf_escaped(FOOTER)));
}

int write_config_parameter_uint16(FILE* file, uint16_t address, uint16_t value) {
    return write_text(file, GCharPtr(g_markup_printf_escaped(PARAMETER, address, value)));
}

int write_config(FILE* file, const char* device_name, const std::vector<uint16_t>& addresses,
                 const RegisterSource& source) {
    if (!write_config_header(file, device_name))
        return 0;
    for (uint16_t address : addresses)
        if (!write_config_parameter_uint16(file, address, source(address)))
            return 0;
    return write_config_footer(file);
}

void xml_config_start_element(GMarkupParseContext*, const gchar* element_name,
                              const gchar** attribute_names, const gchar** attribute_values,
                              gpointer user_data, GError** error) noexcept {
    auto* s = static_cast<ConfigParseState*>(user_data);
    const char* unknown_element = _("Invalid configuration file: unknown element \"%s\".");
    const char* unknown_attribute =
        _("Invalid configuration file: element \"%s\" with unknown attribute \"%s\".");
    const char* invalid_value =
        _("Invalid configuration file: attribute \"%s\" with invalid value \"%s\".");

    if (s->state == 0 && g_str_equal(element_name, "configuration")) {
        s->state = 1;
        s->opened = true;
        for (int i = 0; attribute_names[i]; ++i) {
            const char* name = attribute_names[i];
            const char* value = attribute_values[i];
            if (!g_str_equal(name, "version"))
                return fail(error, CONFIG_ERROR_UNKNOWN, unknown_attribute, element_name, name);
            if (!is_version_one(value))
                return fail(error, CONFIG_ERROR_INVALID_VALUE, invalid_value, name, value);
        }
    } else if (s->state == 1 && g_str_equal(element_name, "device")) {
        s->state = 2;
        for (int i = 0; attribute_names[i]; ++i) {
            const char* name = attribute_names[i];
            const char* value = attribute_values[i];
            if (!g_str_equal(name, "name"))
                return fail(error, CONFIG_ERROR_UNKNOWN, unknown_attribute, element_name, name);
            if (!g_str_equal(value, s->device_name)) {
                fail(error, CONFIG_ERROR_WRONG_DEVICE, invalid_value, name, value);
                if (error && *error)
                    error_data(*error)->found_device = g_strdup(value);
                return;
            }
        }
    } else if (s->state == 2 && g_str_equal(element_name, "parameter")) {
        s->state = 3;
        s->type = -1;
        s->address = -1;
        s->value = -1;
        for (int i = 0; attribute_names[i]; ++i) {
            const char* name = attribute_names[i];
            const char* value = attribute_values[i];
            if (g_str_equal(name, "type")) {
                if (!g_str_equal(value, "uint16"))
                    return fail(error, CONFIG_ERROR_INVALID_VALUE, invalid_value, name, value);
                s->type = 0;
            } else if (g_str_equal(name, "address")) {
                long long address = 0;
                // The register table has 1024 entries: nothing else may reach it.
                if (!read_integer(value, &address) || address < 0 || address > 1023)
                    return fail(error, CONFIG_ERROR_INVALID_VALUE, invalid_value, name, value);
                // Two values for one register: which one was meant cannot be known.
                if (s->seen.test(static_cast<size_t>(address)))
                    return fail(error, CONFIG_ERROR_DUPLICATE,
                                _("Invalid configuration file: register %d appears more than "
                                  "once."),
                                static_cast<int>(address));
                s->seen.set(static_cast<size_t>(address));
                s->address = static_cast<int32_t>(address);
            } else {
                return fail(error, CONFIG_ERROR_UNKNOWN, unknown_attribute, element_name, name);
            }
        }
    } else {
        fail(error, CONFIG_ERROR_UNKNOWN, unknown_element, element_name);
    }
}

void xml_config_end_element(GMarkupParseContext*, const gchar* element_name, gpointer user_data,
                            GError** error) noexcept {
    auto* s = static_cast<ConfigParseState*>(user_data);
    static constexpr const char* closes[] = {nullptr, "configuration", "device", "parameter"};
    if (s->state < 1 || s->state > 3)
        return;
    if (!g_str_equal(element_name, closes[s->state]))
        return fail(error, CONFIG_ERROR_SYNTAX,
                    _("Invalid configuration file: closing element \"%s\" unexpectedly."),
                    element_name);
    --s->state;
}

void xml_config_text(GMarkupParseContext*, const gchar* text, gsize text_len, gpointer user_data,
                     GError** error) noexcept {
    auto* s = static_cast<ConfigParseState*>(user_data);
    char buffer[TEXT_LIMIT + 1];
    gsize length = text_len < TEXT_LIMIT ? text_len : TEXT_LIMIT;
    std::memcpy(buffer, text, length);
    buffer[length] = '\0';
    // Whitespace between elements, empty parameters and parameters without a type or an
    // address are passed over.
    if (s->state != 3 || s->type != 0 || s->address < 0 || text_len == 0)
        return;
    long long number = 0;
    if (!read_integer(buffer, &number)) {
        // The cut at 127 bytes may split a character; the message quotes whole ones only.
        const gchar* valid_end = nullptr;
        if (!g_utf8_validate(buffer, static_cast<gssize>(length), &valid_end))
            buffer[valid_end - buffer] = '\0';
        return fail(error, CONFIG_ERROR_INVALID_VALUE,
                    _("Invalid configuration file: parameter with invalid value \"%s\"."), buffer);
    }
    s->value = static_cast<int32_t>(number);
    if (s->apply)
        s->apply(s->address, static_cast<uint16_t>(number));
}

namespace {
const GMarkupParser parser{xml_config_start_element, xml_config_end_element, xml_config_text,
                           nullptr, nullptr};
}

ConfigReader::ConfigReader(const char* device_name, RegisterSink apply)
    : context_(g_markup_parse_context_new(&parser, static_cast<GMarkupParseFlags>(0), &state_,
                                          nullptr)) {
    state_.device_name = device_name;
    state_.apply = std::move(apply);
}

ConfigReader::~ConfigReader() {
    g_markup_parse_context_free(context_);
}

int ConfigReader::feed(const char* data, gsize length, GError** error) {
    return g_markup_parse_context_parse(context_, data, static_cast<gssize>(length), error) ? 1 : 0;
}

int ConfigReader::finish(GError** error) {
    GError* markup = nullptr;
    bool ended = g_markup_parse_context_end_parse(context_, &markup);
    // The markup parser finds nothing wrong with a file of comments alone.
    bool empty =
        ended ? !state_.opened : g_error_matches(markup, G_MARKUP_ERROR, G_MARKUP_ERROR_EMPTY);
    g_clear_error(&markup);
    if (ended && !empty)
        return 1;
    if (empty)
        fail(error, CONFIG_ERROR_EMPTY, "%s", _("Invalid configuration file: the file is empty."));
    else
        fail(error, CONFIG_ERROR_TRUNCATED, "%s",
             _("Invalid configuration file: it ends before the closing </configuration>."));
    return 0;
}

int read_config(FILE* file, const char* device_name, const RegisterSink& apply, GError** error) {
    ConfigReader reader(device_name, apply);
    char buffer[4096];
    for (;;) {
        size_t n = std::fread(buffer, 1, sizeof buffer, file);
        if (n == 0)
            break;
        if (!reader.feed(buffer, n, error))
            return 0;
    }
    if (std::ferror(file)) {
        int code = errno;
        g_set_error_literal(error, G_FILE_ERROR, g_file_error_from_errno(code), g_strerror(code));
        return 0;
    }
    return reader.finish(error);
}
