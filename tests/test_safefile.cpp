#include "safefile.h"

#include <csignal>
#include <fstream>
#include <glib.h>
#include <glib/gstdio.h>
#include <gtest/gtest.h>
#include <set>
#include <sstream>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

class SafeFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        gchar* d = g_dir_make_tmp("kelvra-safefile-XXXXXX", nullptr);
        ASSERT_NE(d, nullptr);
        dir_ = d;
        g_free(d);
        target_ = dir_ + "/out.cfg";
        std::ofstream(target_) << "old";
    }
    void TearDown() override {
        chmod(dir_.c_str(), 0700);
        for (const std::string& name : entries())
            g_unlink((dir_ + "/" + name).c_str());
        g_rmdir(dir_.c_str());
    }
    std::set<std::string> entries() const {
        std::set<std::string> out;
        GDir* d = g_dir_open(dir_.c_str(), 0, nullptr);
        while (const char* name = d ? g_dir_read_name(d) : nullptr)
            out.insert(name);
        if (d)
            g_dir_close(d);
        return out;
    }
    // Writes `text` through a SafeFile on `target`; the result of the commit.
    static bool save(const std::string& target, const std::string& text) {
        SafeFile f(target.c_str());
        return f.stream() && fputs(text.c_str(), f.stream()) >= 0 && f.commit();
    }
    std::string dir_, target_;
};

} // namespace

TEST_F(SafeFileTest, ReplacesOnCommitKeepingModeAndLinks) {
    chmod(target_.c_str(), 0640);
    {
        SafeFile f(target_.c_str());
        ASSERT_NE(f.stream(), nullptr);
        fputs("new", f.stream());
        EXPECT_EQ(slurp(target_), "old") << "nothing changes before the commit";
        ASSERT_TRUE(f.commit());
    }
    EXPECT_EQ(slurp(target_), "new");
    struct stat st {};
    ASSERT_EQ(stat(target_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);

    mode_t mask = umask(022);
    EXPECT_TRUE(save(dir_ + "/fresh.cfg", "x"));
    umask(mask);
    ASSERT_EQ(stat((dir_ + "/fresh.cfg").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u) << "a new file gets the usual mode";

    ASSERT_EQ(symlink("out.cfg", (dir_ + "/link.cfg").c_str()), 0);
    EXPECT_TRUE(save(dir_ + "/link.cfg", "via link"));
    EXPECT_EQ(slurp(target_), "via link");
    ASSERT_EQ(lstat((dir_ + "/link.cfg").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(entries(), (std::set<std::string>{"fresh.cfg", "link.cfg", "out.cfg"}));
}

TEST_F(SafeFileTest, AnyFailureLeavesTheOldFileAndNoTemporary) {
    {
        SafeFile abandoned(target_.c_str());
        fputs("half", abandoned.stream());
    }
    EXPECT_FALSE(save(dir_ + "/missing/out.cfg", "x"));
    EXPECT_EQ(SafeFile(dir_.c_str()).stream(), nullptr) << "a folder is no file to replace";

    // A file size limit makes writes beyond 1000 bytes fail, as a full disk does.
    auto previous = signal(SIGXFSZ, SIG_IGN);
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    rlimit small = saved;
    small.rlim_cur = 1000;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    bool committed = save(target_, std::string(5000, 'n'));
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, previous);
    EXPECT_FALSE(committed);

    // A folder that cannot be written; root ignores the mode, so the attempt runs as nobody.
    chmod(dir_.c_str(), 0555);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0)
        _exit((geteuid() != 0 || setuid(65534) == 0) && !save(target_, "x") ? 0 : 1);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

    EXPECT_EQ(slurp(target_), "old");
    EXPECT_EQ(entries(), std::set<std::string>{"out.cfg"});
}
