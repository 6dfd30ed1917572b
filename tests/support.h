// Shared test support: the toolkit under Xvfb, the interface files of the source tree, and
// toolkit warnings turned into test failures.
#pragma once

#include "app.h"
#include "variant.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace test {

std::string source_path(const std::string& relative);
std::string binary_path(const std::string& relative);

// Loads the variant's main interface file from the source tree into glade_xml, connects its
// handlers and makes the variant the running one.
void load_main_window(const Variant& v);
void unload_main_window();

// Runs the main loop until nothing is pending.
void flush_events();

// Visible dialogs standing now.
std::vector<GtkWidget*> standing_dialogs();
// The text of the first label of a dialog.
std::string dialog_text(GtkWidget* dialog);
// Answers and destroys every standing dialog.
void close_dialogs();

// Counts toolkit warnings and criticals; the fixture below fails a test that produced any.
int logged_problems();
void reset_logged_problems();

class GuiTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;
};

} // namespace test
