// Support of every test, with no toolkit: the source and build trees, files and folders, a home
// of the tests' own, and limits that make writes fail.
#pragma once

#include <gtest/gtest.h>
#include <string>
#include <sys/resource.h>
#include <vector>

namespace test {

std::string source_path(const std::string& relative);
std::string binary_path(const std::string& relative);

// What a run of the built kelvra-cli gave; it runs from the build folder, without a display.
struct Outcome {
    int status = -1;
    std::string out, err;
};
// The link's failures as the window and kelvra-cli say them.
inline constexpr const char* COMM = "Communication error -- check your USB connection.";
inline constexpr const char* PROTOCOL =
    "Protocol error -- equipment is incompatible with this software.";
inline constexpr const char* UNKNOWN = "Unknown communication error.";

// Runs kelvra-cli with `args`, keeping no history unless they name one (--asset, --history or
// the history command).
Outcome cli(std::vector<std::string> args);

// Points HOME and the XDG folders into the build tree, for this process and all it starts.
void use_own_home();

std::string slurp(const std::string& path);
// The text of a PDF as `pdftotext -layout` gives it, its whitespace runs made single spaces
// (lines wrap where the layout wants); each page ends with a form feed.
std::string pdf_text(const std::string& path);
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

} // namespace test
