// The configuration reader on arbitrary bytes. The first two bytes (little-endian) give where
// the document is cut in two; the rest is the document. It is read whole and in those two
// pieces, under each variant's device name, applying into a plain register array.
#include "check.h"
#include "formats/configfile.h"
#include "model/variant.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace {

struct Outcome {
    int ok = 0;
    GQuark domain = 0;
    int code = 0;
    std::string error;
    std::vector<std::pair<int, uint16_t>> applied;
    bool operator==(const Outcome&) const = default;
};

Outcome read(const char* device_name, const char* text, size_t size, size_t cut) {
    Outcome out;
    // On the heap and exactly the table's size, so a stray index is also caught by ASan.
    auto table = std::make_unique<uint16_t[]>(REGISTER_COUNT);
    ConfigReader reader(device_name, [&](int address, uint16_t value) {
        FUZZ_CHECK(address >= 0 && address < REGISTER_COUNT);
        table[address] = value;
        out.applied.emplace_back(address, value);
    });
    GError* error = nullptr;
    out.ok = 1;
    for (auto [from, to] : {std::pair{size_t{0}, cut}, std::pair{cut, size}}) {
        if (from == to)
            continue;
        out.ok = reader.feed(text + from, to - from, &error);
        if (!out.ok)
            break;
    }
    if (out.ok)
        out.ok = reader.finish(&error);
    FUZZ_CHECK(out.ok == (error == nullptr));
    if (error) {
        out.domain = error->domain;
        out.code = error->code;
        // The name found comes with the one fault of a file of another device, and only then.
        FUZZ_CHECK((config_error_found_device(error) != nullptr) ==
                   g_error_matches(error, config_error_quark(), CONFIG_ERROR_WRONG_DEVICE));
        // GLib's own syntax errors quote and place the fault differently when it spans two
        // pieces; only their kind is compared. The reader's own messages must match whole.
        if (error->domain != G_MARKUP_ERROR) {
            out.error = error->message;
            // The reader's own messages quote the file only as far as it is UTF-8.
            FUZZ_CHECK(g_utf8_validate(error->message, -1, nullptr));
        }
        g_error_free(error);
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2)
        return 0;
    const char* text = reinterpret_cast<const char*>(data + 2);
    size_t length = size - 2;
    size_t cut = (data[0] | size_t{data[1]} << 8) % (length + 1);
    for (const Variant* v : {&variant_full, &variant_rtd})
        FUZZ_CHECK(read(v->device_name, text, length, length) ==
                   read(v->device_name, text, length, cut));
    return 0;
}
