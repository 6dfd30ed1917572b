// Support of the window tests: the toolkit under Xvfb, the interface files of the source tree,
// answers to the window's dialogs, and toolkit warnings turned into test failures.
#pragma once

#include "gui/shell.h"
#include "model/variant.h"
#include "support/drive.h"
#include "support/files.h"

#include <gtest/gtest.h>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace test {

// Loads the variant's main interface file from the source tree into glade_xml, connects its
// handlers and makes the variant the running one.
void load_main_window(const Variant& v);
void unload_main_window();

using namespace drive; // widgets, dialogs and chooser answers

// drive::choose, its failures failing the test.
void choose(const std::function<void()>& open, const std::string& file);
void choose(const char* menu_item, const std::string& file);
// Answers the next dialog of that name that `act` runs with `response`, once `inspect` (when
// given) has looked at it; a dialog that never comes fails the test.
void respond(const std::function<void()>& act, const char* dialog, int response,
             const std::function<void(GtkWidget*)>& inspect = {});
// The rows of a differences dialog: "page|parameter|window|other", pages as "page".
std::vector<std::string> difference_rows(GtkWidget* dialog);

// Fails a test that made the toolkit warn or complain.
class GuiTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;
};

} // namespace test
