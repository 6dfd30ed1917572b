// Shared test support: the toolkit under Xvfb, the interface files of the source tree, and
// toolkit warnings turned into test failures.
#pragma once

#include "app.h"
#include "drive/drive.h"
#include "variant.h"

#include <gtest/gtest.h>
#include <functional>
#include <map>
#include <string>
#include <sys/resource.h>
#include <vector>

namespace test {

std::string source_path(const std::string& relative);
std::string binary_path(const std::string& relative);

// Loads the variant's main interface file from the source tree into glade_xml, connects its
// handlers and makes the variant the running one.
void load_main_window(const Variant& v);
void unload_main_window();

using drive::click;
using drive::close_dialogs;
using drive::dialog_text;
using drive::flush_events;
using drive::messages;
using drive::standing_dialogs;
using drive::status_text;
using drive::widget;

// What the register widgets hold at these addresses; those that hold no value are left out.
std::map<int, uint16_t> register_values(const std::vector<uint16_t>& addresses);

// drive::choose, its failures failing the test.
void choose(const std::function<void()>& open, const std::string& file);
void choose(const char* menu_item, const std::string& file);
// Answers the next dialog of that name that `act` runs with `response`, once `inspect` (when
// given) has looked at it; a dialog that never comes fails the test.
void respond(const std::function<void()>& act, const char* dialog, int response,
             const std::function<void(GtkWidget*)>& inspect = {});
// The rows of a differences dialog: "page|parameter|window|other", pages as "page".
std::vector<std::string> difference_rows(GtkWidget* dialog);

std::string slurp(const std::string& path);
void put(const std::string& path, const std::string& text);

// A fresh folder, removed with all it holds.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string path(const std::string& name = "") const {
        return name.empty() ? dir_ : dir_ + "/" + name;
    }
    // The names in it (or in its sub-folder `folder`), sorted.
    std::vector<std::string> entries(const std::string& folder = "") const;

  private:
    std::string dir_;
};

// Makes writes beyond `bytes` fail, as a full disk does, while it lives.
class FileSizeLimit {
  public:
    explicit FileSizeLimit(rlim_t bytes);
    ~FileSizeLimit();
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

  private:
    void (*previous_)(int);
    rlimit saved_{};
};

// Counts toolkit warnings and criticals; the fixture below fails a test that produced any.
int logged_problems();
void reset_logged_problems();

class GuiTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;
};

} // namespace test
