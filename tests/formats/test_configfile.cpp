#include "formats/configfile.h"
#include "model/parameters.h"
#include "support/files.h"

#include <gtest/gtest.h>
#include <string>
#include <utility>
#include <vector>

namespace {

using Applied = std::vector<std::pair<int, uint16_t>>;

uint16_t golden_value(int address) {
    return address == 0 ? 65535 : static_cast<uint16_t>(address * 131 % 65536);
}

// Feeds a document in pieces of `chunk` bytes (0: at once) and ends it, as a file read would:
// the values applied, and what the fault that stopped the reading said (empty: none): its code
// and message, then the device name a copy of the error carries; "*" for the markup parser's
// own faults.
std::pair<Applied, std::string> parse(const std::string& doc, size_t chunk) {
    Applied applied;
    ConfigReader reader("varnel", [&](int a, uint16_t v) { applied.emplace_back(a, v); });
    size_t step = chunk ? chunk : doc.size();
    GError* error = nullptr;
    for (size_t at = 0; at < doc.size() && !error; at += step)
        reader.feed(doc.data() + at, std::min(step, doc.size() - at), &error);
    if (!error) {
        int whole = reader.finish(&error);
        EXPECT_EQ(whole, error ? 0 : 1);
    }
    std::string said;
    if (error && error->domain == G_MARKUP_ERROR)
        said = "*";
    else if (error)
        said = std::to_string(error->code) + " " + error->message;
    GError* copy = error ? g_error_copy(error) : nullptr;
    if (const char* found = config_error_found_device(copy))
        said += std::string(" / ") + found;
    g_clear_error(&error);
    g_clear_error(&copy);
    return {applied, said};
}

std::string doc(const std::string& parameters, const char* device = "varnel",
                const char* configuration = "<configuration version=\"1.0\">") {
    return std::string(configuration) + "\n  <device name=\"" + device + "\">\n" + parameters +
           "  </device>\n</configuration>\n";
}

std::string p(const std::string& address, const std::string& text, const char* type = "uint16") {
    return std::string("    <parameter type=\"") + type + "\" address=\"" + address + "\">" + text +
           "</parameter>\n";
}

// What the reader's faults say, as parse gives it.
const auto bad = [](int code, const std::string& what) {
    return std::to_string(code) + " Invalid configuration file: " + what + ".";
};
const auto attr = [](const std::string& name, const std::string& value,
                     int code = CONFIG_ERROR_INVALID_VALUE) {
    return bad(code, "attribute \"" + name + "\" with invalid value \"" + value + "\"");
};
const auto value = [](const std::string& text) {
    return bad(CONFIG_ERROR_INVALID_VALUE, "parameter with invalid value \"" + text + "\"");
};
std::string unknown(const std::string& element, const std::string& attribute = "") {
    return bad(CONFIG_ERROR_UNKNOWN,
               attribute.empty()
                   ? "unknown element \"" + element + "\""
                   : "element \"" + element + "\" with unknown attribute \"" + attribute + "\"");
}
const auto device = [](const std::string& name) {
    return attr("name", name, CONFIG_ERROR_WRONG_DEVICE) + " / " + name;
};
const std::string cut = bad(CONFIG_ERROR_TRUNCATED, "it ends before the closing </configuration>"),
                  empty = bad(CONFIG_ERROR_EMPTY, "the file is empty"),
                  twice = bad(CONFIG_ERROR_DUPLICATE, "register 5 appears more than once");

} // namespace

// Each layout's file as written, and read back across the reader's 4096-byte pieces; a stream
// that fails fails the writer and the reader, and so does a file cut short or empty.
TEST(ConfigFile, GoldenFilesBothWaysAndFailingStreams) {
    const std::tuple<const Variant*, int, int, const char*> cases[] = {
        {&variant_full, 2, 0, "config_full_2relays.cfg"},
        {&variant_full, 2, OPTION_DNP3 | OPTION_EVENTS, "config_full_2relays_dnp3.cfg"},
        {&variant_full, 0, 0, "config_full_0relays.cfg"},
        {&variant_full, 14, OPTION_DNP3, "config_full_14relays_dnp3.cfg"},
        {&variant_rtd, 2, 0, "config_rtd_2relays.cfg"},
        {&variant_rtd, 2, OPTION_DNP3, "config_rtd_2relays_dnp3.cfg"},
        {&variant_rtd, 0, 0, "config_rtd_0relays.cfg"},
        {&variant_rtd, 14, OPTION_DNP3 | OPTION_EVENTS, "config_rtd_14relays_dnp3.cfg"},
    };
    test::TempDir dir;
    Applied applied;
    auto apply = [&](int a, uint16_t v) { applied.emplace_back(a, v); };
    for (const auto& [v, nrelays, options, name] : cases) {
        SCOPED_TRACE(name);
        const std::string golden = test::source_path(std::string("tests/data/") + name);
        FILE* f = fopen(dir.path(name).c_str(), "w");
        EXPECT_EQ(write_config(f, *v, nrelays, options, golden_value), 1);
        fclose(f);
        EXPECT_EQ(test::slurp(dir.path(name)), test::slurp(golden));
        Applied expected;
        for (uint16_t a : config_addresses(*v, nrelays, options))
            expected.emplace_back(a, golden_value(a));
        applied.clear();
        f = fopen(golden.c_str(), "r");
        EXPECT_EQ(read_config(f, v->device_name, apply, nullptr), 1);
        fclose(f);
        EXPECT_EQ(applied, expected);
        // Cut in half, as a file not written to its end.
        std::string half = test::slurp(golden);
        half.resize(half.size() / 2);
        f = fmemopen(half.data(), half.size(), "r");
        GError* error = nullptr;
        EXPECT_EQ(read_config(f, v->device_name, apply, &error), 0);
        EXPECT_TRUE(g_error_matches(error, config_error_quark(), CONFIG_ERROR_TRUNCATED));
        g_clear_error(&error);
        fclose(f);
    }

    FILE* full = fopen("/dev/full", "w");
    ASSERT_NE(full, nullptr);
    setvbuf(full, nullptr, _IONBF, 0); // each piece fails at once
    EXPECT_EQ(write_config_header(full, "varnel"), 0);
    EXPECT_EQ(write_config_parameter_uint16(full, 1, 2), 0);
    EXPECT_EQ(write_config_footer(full), 0);
    int asked = 0;
    auto source = [&](int) { return uint16_t(++asked); };
    EXPECT_EQ(write_config(full, variant_full, 2, 0, source), 0);
    EXPECT_EQ(asked, 0) << "writing stops at the header";
    fclose(full);
    FILE* folder = fopen(KELVRA_SOURCE_DIR, "r"); // opens, but reading fails
    ASSERT_NE(folder, nullptr);
    GError* error = nullptr;
    EXPECT_EQ(read_config(folder, "varnel", apply, &error), 0);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->domain, G_FILE_ERROR);
    g_clear_error(&error);
    fclose(folder);
    FILE* nothing = fopen("/dev/null", "r");
    EXPECT_EQ(read_config(nothing, "varnel", apply, &error), 0);
    EXPECT_TRUE(g_error_matches(error, config_error_quark(), CONFIG_ERROR_EMPTY));
    g_clear_error(&error);
    fclose(nothing);
}

TEST(ConfigReader, EveryOutcomeWhateverTheChunkSize) {
    const std::string blanks127(127, ' ');
    const std::string v2 = "<configuration version=\"2\">",
                      v1e0 = "<configuration version=\"1e0\">";
    // What is taken: the low 16 bits of a number as "%d" reads it, white space of C's
    // isspace before it and anything after it aside; entities; an address as a number.
    // Parameters without text, an address or a type are passed over.
    const std::string taken =
        p("0", "5") + p("1023", "65535") + p("1", "70000") + p("2", "-1") + p("3", " +12abc") +
        p("7", "\v\f\t\r 7") + p("8", "\v-2") + p("5", "1") + p("4", std::string(126, ' ') + "9") +
        p("12abc", "2") +
        "<parameter type=\"uint16\">abc</parameter><parameter address=\"9\">x</parameter>" +
        "<parameter type=\"uint16\" address=\"10\"/>" + p("11", "") + p("6", "&#49;2");
    const Applied all{{0, 5},     {1023, 65535}, {1, 4464}, {2, 65535}, {3, 12}, {7, 7},
                      {8, 65534}, {5, 1},        {4, 9},    {12, 2},    {6, 12}};
    const std::string unit = "<parameter type=\"uint16\" address=\"1\" unit=\"C\">2</parameter>";
    // What, the document (parameters alone go in a document of the right device), the values
    // applied and the message.
    const std::tuple<const char*, std::string, Applied, std::string> cases[] = {
        {"taken", taken, all, ""},
        {"other variant", doc(p("0", "5"), "varnel0"), {}, device("varnel0")},
        {"version 2", doc(p("0", "5"), "varnel", v2.c_str()), {}, attr("version", "2")},
        {"version 1e0", doc(p("0", "5"), "varnel", v1e0.c_str()), {{0, 5}}, ""},
        {"no version", doc(p("0", "5"), "varnel", "<configuration>"), {{0, 5}}, ""},
        {"unknown root", "<config version=\"1\"/>", {}, unknown("config")},
        {"element in parameter", p("0", "1") + p("2", "<u/>"), {{0, 1}}, unknown("u")},
        {"unknown attribute", p("0", "1") + unit, {{0, 1}}, unknown("parameter", "unit")},
        {"device model", "<configuration><device model=\"x\"/>", {}, unknown("device", "model")},
        {"other type", p("1", "2", "int16"), {}, attr("type", "int16")},
        {"blank value", p("0", "1") + p("1", "  ") + p("2", "3"), {{0, 1}}, value("  ")},
        {"letters", p("7", "abc"), {}, value("abc")},
        {"judged by 127 bytes", p("4", blanks127 + "9"), {}, value(blanks127)},
        {"address 1024", p("0", "1") + p("1024", "2"), {{0, 1}}, attr("address", "1024")},
        {"address -1", p("-1", "2"), {}, attr("address", "-1")},
        {"address not a number", p("x1", "2"), {}, attr("address", "x1")},
        {"twice", p("5", "1") + p(" 5", "2"), {{5, 1}}, twice},
        {"ends inside", doc(p("1", "1")).substr(0, 130), {{1, 1}}, cut},
        {"ends in the root", "<configuration vers", {}, cut},
        {"empty", "", {}, empty},
        {"white space", " \n\t", {}, empty},
        {"comments alone", "<!-- -->", {}, empty},
        {"syntax error", p("1", "1") + p("2", "2</param>"), {{1, 1}, {2, 2}}, "*"},
    };
    for (const auto& [what, document, applied, message] : cases) {
        for (size_t chunk : {0, 1, 2, 7}) {
            SCOPED_TRACE(std::string(what) + " in chunks of " + std::to_string(chunk));
            bool whole = !document.starts_with("    <p");
            auto [got, said] = parse(whole ? document : doc(document), chunk);
            EXPECT_EQ(got, applied);
            EXPECT_EQ(said, message);
        }
    }
}
