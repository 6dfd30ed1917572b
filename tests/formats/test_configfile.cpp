#include "formats/configfile.h"
#include "model/parameters.h"
#include "support/files.h"

#include <gtest/gtest.h>
#include <string>
#include <utility>
#include <vector>

namespace {

using Applied = std::vector<std::pair<int, uint16_t>>;

std::string data_path(const std::string& name) {
    return test::source_path("tests/data/" + name);
}

uint16_t golden_value(int address) {
    return address == 0 ? 65535 : static_cast<uint16_t>(address * 131 % 65536);
}

std::string written(const Variant& v, int nrelays, int options) {
    FILE* f = tmpfile();
    EXPECT_NE(f, nullptr);
    EXPECT_EQ(write_config(f, v, nrelays, options, golden_value), 1);
    std::string out(static_cast<size_t>(ftell(f)), '\0');
    rewind(f);
    EXPECT_EQ(fread(out.data(), 1, out.size(), f), out.size());
    fclose(f);
    return out;
}

struct Outcome {
    Applied applied;
    std::string message; // empty: no fault
};

// Feeds a document in pieces of `chunk` bytes (0: at once), as a file read would.
Outcome parse(const std::string& doc, size_t chunk, const char* device = "varnel") {
    Outcome out;
    ConfigReader reader(device, [&](int a, uint16_t v) { out.applied.emplace_back(a, v); });
    size_t step = chunk ? chunk : doc.size();
    for (size_t at = 0; at < doc.size(); at += step) {
        GError* error = nullptr;
        if (!reader.feed(doc.data() + at, std::min(step, doc.size() - at), &error)) {
            out.message = error->message;
            g_error_free(error);
            break;
        }
    }
    return out;
}

std::string doc(const std::string& parameters, const char* device = "varnel",
                const char* configuration = "<configuration version=\"1.0\">") {
    return std::string(configuration) + "\n  <device name=\"" + device + "\">\n" + parameters +
           "  </device>\n</configuration>\n";
}

std::string p(const std::string& address, const std::string& text) {
    return "    <parameter type=\"uint16\" address=\"" + address + "\">" + text + "</parameter>\n";
}

} // namespace

TEST(ConfigWriter, GoldenFiles) {
    struct Case {
        const Variant* v;
        int nrelays;
        int options;
        const char* golden;
    };
    const Case cases[] = {
        {&variant_full, 2, 0, "config_full_2relays.cfg"},
        {&variant_full, 2, OPTION_DNP3 | OPTION_EVENTS, "config_full_2relays_dnp3.cfg"},
        {&variant_full, 0, 0, "config_full_0relays.cfg"},
        {&variant_full, 14, OPTION_DNP3, "config_full_14relays_dnp3.cfg"},
        {&variant_rtd, 2, 0, "config_rtd_2relays.cfg"},
        {&variant_rtd, 2, OPTION_DNP3, "config_rtd_2relays_dnp3.cfg"},
        {&variant_rtd, 0, 0, "config_rtd_0relays.cfg"},
        {&variant_rtd, 14, OPTION_DNP3 | OPTION_EVENTS, "config_rtd_14relays_dnp3.cfg"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.golden);
        EXPECT_EQ(written(*c.v, c.nrelays, c.options), test::slurp(data_path(c.golden)));
    }
}

TEST(ConfigWriter, ReportsAFailedWrite) {
    FILE* full = fopen("/dev/full", "w");
    ASSERT_NE(full, nullptr);
    setvbuf(full, nullptr, _IONBF, 0); // each piece fails at once
    EXPECT_EQ(write_config_header(full, "varnel"), 0);
    EXPECT_EQ(write_config_parameter_uint16(full, 1, 2), 0);
    EXPECT_EQ(write_config_footer(full), 0);
    int asked = 0;
    EXPECT_EQ(write_config(full, variant_full, 2, 0,
                           [&](int) {
                               ++asked;
                               return uint16_t{0};
                           }),
              0);
    EXPECT_EQ(asked, 0) << "writing stops at the header";
    fclose(full);
}

TEST(ConfigReader, ReadsAFileLongerThanOneRead) {
    FILE* f = fopen(data_path("config_full_14relays_dnp3.cfg").c_str(), "r");
    ASSERT_NE(f, nullptr);
    Applied applied, expected;
    GError* error = nullptr;
    auto apply = [&](int a, uint16_t v) { applied.emplace_back(a, v); };
    EXPECT_EQ(read_config(f, "varnel", apply, &error), 1);
    fclose(f);
    for (uint16_t a : config_addresses(variant_full, 14, OPTION_DNP3))
        expected.emplace_back(a, golden_value(a));
    EXPECT_EQ(applied, expected);

    FILE* folder = fopen(KELVRA_SOURCE_DIR, "r"); // opens, but reading fails
    ASSERT_NE(folder, nullptr);
    EXPECT_EQ(read_config(folder, "varnel", apply, &error), 0);
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->domain, G_FILE_ERROR);
    g_error_free(error);
    fclose(folder);
}

// Reader messages.
std::string bad(const std::string& what) {
    return "Invalid configuration file: " + what + ".";
}
std::string attr(const std::string& name, const std::string& value) {
    return bad("attribute \"" + name + "\" with invalid value \"" + value + "\"");
}
std::string value(const std::string& text) {
    return bad("parameter with invalid value \"" + text + "\"");
}

TEST(ConfigReader, EveryOutcomeWhateverTheChunkSize) {
    const std::string blanks127(127, ' ');
    const std::string v2 = "<configuration version=\"2\">",
                      v1e0 = "<configuration version=\"1e0\">";
    struct Case {
        const char* what;
        std::string document;
        Applied applied;
        std::string message;
    };
    const Case cases[] = {
        {"plain", doc(p("0", "5") + p("1023", "65535")), {{0, 5}, {1023, 65535}}, ""},
        {"other variant", doc(p("0", "5"), "varnel0"), {}, attr("name", "varnel0")},
        {"version 2", doc(p("0", "5"), "varnel", v2.c_str()), {}, attr("version", "2")},
        {"version 1e0", doc(p("0", "5"), "varnel", v1e0.c_str()), {{0, 5}}, ""},
        {"no version", doc(p("0", "5"), "varnel", "<configuration>"), {{0, 5}}, ""},
        {"unknown root", "<config version=\"1\"/>", {}, bad("unknown element \"config\"")},
        {"element in parameter",
         doc(p("0", "1") + p("2", "<unit/>")),
         {{0, 1}},
         bad("unknown element \"unit\"")},
        {"unknown attribute",
         doc(p("0", "1") + "<parameter type=\"uint16\" address=\"1\" unit=\"C\">2</parameter>"),
         {{0, 1}},
         bad("element \"parameter\" with unknown attribute \"unit\"")},
        {"unknown device attribute",
         "<configuration><device model=\"x\"/></configuration>",
         {},
         bad("element \"device\" with unknown attribute \"model\"")},
        {"other type",
         doc("<parameter type=\"int16\" address=\"1\">2</parameter>"),
         {},
         attr("type", "int16")},
        {"blank value", doc(p("0", "1") + p("1", "  ") + p("2", "3")), {{0, 1}}, value("  ")},
        {"letters", doc(p("7", "abc")), {}, value("abc")},
        {"low 16 bits",
         doc(p("1", "70000") + p("2", "-1") + p("3", " +12abc")),
         {{1, 4464}, {2, 65535}, {3, 12}},
         ""},
        {"white space as %d takes it",
         doc(p("1", "\v\f\t\r 7") + p("2", "\v-2")),
         {{1, 7}, {2, 65534}},
         ""},
        {"same address twice", doc(p("5", "1") + p("5", "2")), {{5, 1}, {5, 2}}, ""},
        {"judged by 127 bytes", doc(p("4", blanks127 + "9")), {}, value(blanks127)},
        {"number within 127 bytes", doc(p("4", std::string(126, ' ') + "9")), {{4, 9}}, ""},
        {"address 1024", doc(p("0", "1") + p("1024", "2")), {{0, 1}}, attr("address", "1024")},
        {"address -1", doc(p("-1", "2")), {}, attr("address", "-1")},
        {"address not a number", doc(p("x1", "2")), {}, attr("address", "x1")},
        {"address 12abc", doc(p("12abc", "2")), {{12, 2}}, ""},
        {"no address, no type",
         doc("<parameter type=\"uint16\">abc</parameter><parameter address=\"3\">x</parameter>" +
             p("4", "4")),
         {{4, 4}},
         ""},
        {"empty parameters",
         doc("<parameter type=\"uint16\" address=\"3\"/>" + p("4", "") + p("5", "5")),
         {{5, 5}},
         ""},
        {"entity", doc(p("6", "&#49;2")), {{6, 12}}, ""},
        {"ends inside", doc(p("1", "1")).substr(0, 140), {{1, 1}}, ""},
        {"empty", "", {}, ""},
        {"syntax error",
         doc(p("1", "1") + "<parameter type=\"uint16\" address=\"2\">2</param>"),
         {{1, 1}, {2, 2}},
         "*"},
    };
    for (const Case& c : cases) {
        for (size_t chunk : {0, 1, 2, 7}) {
            SCOPED_TRACE(std::string(c.what) + " in chunks of " + std::to_string(chunk));
            Outcome o = parse(c.document, chunk);
            EXPECT_EQ(o.applied, c.applied);
            if (c.message == "*") {
                EXPECT_FALSE(o.message.empty()); // the markup parser's own wording
            } else {
                EXPECT_EQ(o.message, c.message);
            }
        }
    }
}

TEST(ConfigReader, ClosingElementOutOfPlace) {
    // The markup parser pairs tags itself, so this is the callback's own guard.
    ConfigParseState s;
    for (auto [state, name] : {std::pair{1, "device"}, {2, "parameter"}, {3, "device"}}) {
        s.state = state;
        GError* error = nullptr;
        xml_config_end_element(nullptr, name, &s, &error);
        ASSERT_NE(error, nullptr);
        EXPECT_EQ(std::string(error->message),
                  std::string("Invalid configuration file: closing element \"") + name +
                      "\" unexpectedly.");
        EXPECT_EQ(s.state, state);
        g_error_free(error);
    }
    s.state = 0;
    GError* error = nullptr;
    xml_config_end_element(nullptr, "anything", &s, &error);
    EXPECT_EQ(error, nullptr);
}
