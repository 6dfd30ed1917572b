// formats/: what is written to and read from files. The configuration file, the event records
// and their CSV, event-time arithmetic, and the safe replacement of a file. It uses base/ and
// GLib only: no link, no model, no toolkit. Faults leave as return values and GErrors.
//
// This header, the configuration file: one parameter set as XML, each register an unsigned
// 16-bit value keyed by its address. The writer takes values through a function it is given and
// the reader applies them through another, which the model or the window binds.
#pragma once

#include <bitset>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <glib.h>
#include <vector>

// Error domain of the configuration reader, made at start-up.
extern GQuark domain;

// The same domain, made on first use, for programs that have no start-up of their own.
GQuark config_error_quark();

// Codes of the reader's errors in that domain, one per kind of fault, so that callers can tell
// them apart; the markup parser's syntax errors keep GLib's G_MARKUP_ERROR domain.
enum ConfigError : int {
    CONFIG_ERROR_SYNTAX = 0,        // an element closed where it may not be
    CONFIG_ERROR_UNKNOWN = 1,       // an element or an attribute with no place there
    CONFIG_ERROR_INVALID_VALUE = 2, // a version, type, address or parameter value not taken
    CONFIG_ERROR_WRONG_DEVICE = 3,  // the file of another device: see config_error_found_device
    CONFIG_ERROR_TRUNCATED = 4,     // the file ends before its root element closes
    CONFIG_ERROR_EMPTY = 5,         // nothing but white space (or comments)
    CONFIG_ERROR_DUPLICATE = 6,     // a register given twice
};

// The device name a CONFIG_ERROR_WRONG_DEVICE error found in the file (a copy of the error
// keeps it); null for every other error.
const char* config_error_found_device(const GError* error);

// Writers of the three pieces of the file; 1 when the whole text was written, else 0.
int write_config_header(FILE* file, const char* device_name);
int write_config_footer(FILE* file);
int write_config_parameter_uint16(FILE* file, uint16_t address, uint16_t value);

// The value of one register for the file.
using RegisterSource = std::function<uint16_t(int address)>;
// Applies one value read from the file.
using RegisterSink = std::function<void(int address, uint16_t value)>;

// Writes the whole file of these registers, in this order; 1 when every piece was written, else
// 0 (writing stops at the first failure).
int write_config(FILE* file, const char* device_name, const std::vector<uint16_t>& addresses,
                 const RegisterSource& source);

// State of one reading, handed to every callback of the markup parser.
struct ConfigParseState {
    int32_t state = 0;      // 0 document, 1 in configuration, 2 in device, 3 in parameter
    int32_t type = -1;      // -1 not given, 0 "uint16"
    int32_t address = -1;   // -1 not given
    int32_t value = -1;     // -1 before any
    bool opened = false;    // the root element was met
    std::bitset<1024> seen; // the addresses met, each allowed once
    const char* device_name = nullptr;
    RegisterSink apply;
};

void xml_config_start_element(GMarkupParseContext* context, const gchar* element_name,
                              const gchar** attribute_names, const gchar** attribute_values,
                              gpointer user_data, GError** error) noexcept;
void xml_config_end_element(GMarkupParseContext* context, const gchar* element_name,
                            gpointer user_data, GError** error) noexcept;
void xml_config_text(GMarkupParseContext* context, const gchar* text, gsize text_len,
                     gpointer user_data, GError** error) noexcept;

// Reads a configuration document piece by piece, applying each value as soon as it is read.
class ConfigReader {
  public:
    ConfigReader(const char* device_name, RegisterSink apply);
    ~ConfigReader();
    ConfigReader(const ConfigReader&) = delete;
    ConfigReader& operator=(const ConfigReader&) = delete;

    // 1 when the piece was taken; 0 with *error set at the first fault, after which the reader
    // takes nothing more.
    int feed(const char* data, gsize length, GError** error);
    // Ends a document whose every piece was taken: 1 when it was whole; 0 with *error set when
    // it ended before its root element closed or held nothing.
    int finish(GError** error);

  private:
    ConfigParseState state_;
    GMarkupParseContext* context_;
};

// Reads a whole file in 4096-byte pieces. 1 when it was read to its end, whole and without a
// fault; 0 with *error set (a read error of the stream included).
int read_config(FILE* file, const char* device_name, const RegisterSink& apply, GError** error);
