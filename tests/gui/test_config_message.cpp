// A broken configuration file whose fault the markup parser reports by quoting the file's own
// bytes: the dialog must still get text the toolkit can show.
#include "gui/config.h"
#include "gui/params.h"
#include "support/window.h"

#include <gtest/gtest.h>

class ConfigMessage : public test::GuiTest {};

TEST_F(ConfigMessage, BytesThatAreNotUtf8AreShownAsReplacementCharacters) {
    test::load_main_window(variant_full);
    init_registers();
    test::TempDir dir;
    test::put(dir.path("bad.cfg"), "<configuration><device name=\"varnel\"></devic\xca\xca>");
    open_config(dir.path("bad.cfg").c_str());
    test::flush_events();
    std::vector<std::string> shown = test::messages();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_TRUE(g_utf8_validate(shown[0].c_str(), -1, nullptr)) << shown[0];
    EXPECT_NE(shown[0].find("devic\uFFFD\uFFFD"), std::string::npos) << shown[0];
    test::close_dialogs();
}
