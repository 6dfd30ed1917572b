#include "safefile.h"

#include <csignal>
#include <dirent.h>
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

void put(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

class SafeFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char* d = g_dir_make_tmp("kelvra-safefile-XXXXXX", nullptr);
        ASSERT_NE(d, nullptr);
        dir_ = d;
        g_free(d);
        target_ = dir_ + "/out.cfg";
    }
    void TearDown() override {
        chmod(dir_.c_str(), 0700);
        for (const std::string& name : entries())
            g_unlink((dir_ + "/" + name).c_str());
        g_rmdir(dir_.c_str());
    }
    std::set<std::string> entries() const {
        std::set<std::string> out;
        if (DIR* d = opendir(dir_.c_str())) {
            while (dirent* e = readdir(d))
                if (e->d_name[0] != '.' || (e->d_name[1] && e->d_name[1] != '.'))
                    out.insert(e->d_name);
            closedir(d);
        }
        return out;
    }
    std::string dir_;
    std::string target_;
};

} // namespace

TEST_F(SafeFileTest, ReplacesOnlyOnCommit) {
    put(target_, "old");
    chmod(target_.c_str(), 0640);
    {
        SafeFile f(target_.c_str());
        ASSERT_NE(f.stream(), nullptr);
        fputs("new", f.stream());
        EXPECT_EQ(slurp(target_), "old") << "nothing changes before the commit";
        EXPECT_EQ(entries().size(), 2u);
        EXPECT_TRUE(f.commit());
    }
    EXPECT_EQ(slurp(target_), "new");
    struct stat st {};
    ASSERT_EQ(stat(target_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u) << "a replaced file keeps its mode";
    EXPECT_EQ(entries(), std::set<std::string>{"out.cfg"});
}

TEST_F(SafeFileTest, NewFileGetsTheUsualMode) {
    mode_t mask = umask(022);
    {
        SafeFile f(target_.c_str());
        ASSERT_NE(f.stream(), nullptr);
        EXPECT_TRUE(f.commit());
    }
    umask(mask);
    struct stat st {};
    ASSERT_EQ(stat(target_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
}

TEST_F(SafeFileTest, AbandonedOrFailedWritesLeaveTheOldFile) {
    const std::string old(3000, 'o');
    put(target_, old);
    {
        SafeFile f(target_.c_str());
        fputs("half", f.stream());
    } // abandoned: no commit
    EXPECT_EQ(slurp(target_), old);
    EXPECT_EQ(entries(), std::set<std::string>{"out.cfg"});

    // A file size limit makes the disk refuse bytes beyond 1000, as a full disk would.
    auto previous = signal(SIGXFSZ, SIG_IGN);
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    rlimit small = saved;
    small.rlim_cur = 1000;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    bool committed = true;
    {
        SafeFile f(target_.c_str());
        ASSERT_NE(f.stream(), nullptr);
        for (int i = 0; i < 500; ++i)
            fputs("0123456789", f.stream());
        committed = f.commit();
    }
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, previous);
    EXPECT_FALSE(committed);
    EXPECT_EQ(slurp(target_), old);
    EXPECT_EQ(entries(), std::set<std::string>{"out.cfg"});
}

TEST_F(SafeFileTest, AFolderThatCannotBeWrittenIsFoundAtOnce) {
    put(target_, "old");
    EXPECT_EQ(SafeFile((dir_ + "/missing/out.cfg").c_str()).stream(), nullptr);
    // The folder is made read-only; root ignores that, so the attempt runs as another user.
    chmod(dir_.c_str(), 0555);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (geteuid() == 0 && setuid(65534) != 0)
            _exit(2);
        SafeFile f(target_.c_str());
        _exit(f.stream() == nullptr && !f.commit() ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    chmod(dir_.c_str(), 0700);
    EXPECT_EQ(slurp(target_), "old");
    EXPECT_EQ(entries(), std::set<std::string>{"out.cfg"});
}

TEST_F(SafeFileTest, ALinkIsFollowed) {
    put(target_, "old");
    std::string link = dir_ + "/link.cfg";
    ASSERT_EQ(symlink("out.cfg", link.c_str()), 0);
    {
        SafeFile f(link.c_str());
        fputs("new", f.stream());
        EXPECT_TRUE(f.commit());
    }
    EXPECT_EQ(slurp(target_), "new");
    struct stat st {};
    ASSERT_EQ(lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
}
