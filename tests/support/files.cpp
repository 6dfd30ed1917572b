#include "support/files.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <glib.h>
#include <sys/wait.h>

namespace test {

std::string source_path(const std::string& relative) {
    return std::string(KELVRA_SOURCE_DIR) + "/" + relative;
}
std::string binary_path(const std::string& relative) {
    return std::string(KELVRA_BINARY_DIR) + "/" + relative;
}

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

std::string pdf_text(const std::string& path) {
    const char* argv[] = {"pdftotext", "-layout", path.c_str(), "-", nullptr};
    gchar* out = nullptr;
    int wait = 0;
    EXPECT_TRUE(g_spawn_sync(nullptr, const_cast<char**>(argv), nullptr, G_SPAWN_SEARCH_PATH,
                             nullptr, nullptr, &out, nullptr, &wait, nullptr) &&
                wait == 0)
        << "pdftotext " << path;
    std::string text;
    for (const char* c = out ? out : ""; *c; ++c)
        if (*c == '\f' || !g_ascii_isspace(*c))
            text += *c;
        else if (!text.empty() && text.back() != ' ')
            text += ' ';
    g_free(out);
    return text;
}

void put(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

TempDir::TempDir() {
    gchar* d = g_dir_make_tmp("kelvra-test-XXXXXX", nullptr);
    EXPECT_NE(d, nullptr);
    dir_ = d ? d : "/nonexistent";
    g_free(d);
}

TempDir::~TempDir() {
    std::error_code ignored; // a test may have taken the write permission of its folder
    std::filesystem::permissions(dir_, std::filesystem::perms::owner_all, ignored);
    std::filesystem::remove_all(dir_, ignored);
}

std::vector<std::string> TempDir::entries(const std::string& folder) const {
    std::vector<std::string> names;
    std::error_code ignored;
    for (const auto& e : std::filesystem::directory_iterator(path(folder), ignored))
        names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

FileSizeLimit::FileSizeLimit(rlim_t bytes) : previous_(signal(SIGXFSZ, SIG_IGN)) {
    getrlimit(RLIMIT_FSIZE, &saved_);
    rlimit small = saved_;
    small.rlim_cur = bytes;
    EXPECT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
}

FileSizeLimit::~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &saved_);
    signal(SIGXFSZ, previous_);
}

Outcome cli(std::vector<std::string> args) {
    // A history is kept only where a test asks for one.
    if (std::none_of(args.begin(), args.end(), [](const std::string& a) {
            return a == "--asset" || a == "--history" || a == "history";
        }))
        args.insert(args.begin(), "--no-history");
    args.insert(args.begin(), test::binary_path("kelvra-cli"));
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    Outcome r;
    gchar *out = nullptr, *err = nullptr;
    GError* error = nullptr;
    int wait = 0;
    // The working directory holds share/locale, as the programs' own does; no display.
    GStrv env = g_environ_unsetenv(g_get_environ(), "DISPLAY");
    EXPECT_TRUE(g_spawn_sync(KELVRA_BINARY_DIR, argv.data(), env, G_SPAWN_DEFAULT, nullptr, nullptr,
                             &out, &err, &wait, &error))
        << (error ? error->message : "");
    g_strfreev(env);
    if (error)
        g_error_free(error);
    r.out = out ? out : "";
    r.err = err ? err : "";
    g_free(out);
    g_free(err);
    r.status = WIFEXITED(wait) ? WEXITSTATUS(wait) : -1;
    return r;
}

void use_own_home() {
    // A home of the tests' own, in the build tree, for this process and the programs it starts:
    // the choosers open there and keep their recent files there, not in the real user's.
    std::string home = binary_path("test-home");
    g_mkdir_with_parents((home + "/.local/share").c_str(), 0700);
    g_setenv("HOME", home.c_str(), TRUE);
    g_setenv("XDG_DATA_HOME", (home + "/.local/share").c_str(), TRUE);
    g_setenv("XDG_CONFIG_HOME", (home + "/.config").c_str(), TRUE);
    g_setenv("XDG_CACHE_HOME", (home + "/.cache").c_str(), TRUE);
}

} // namespace test
