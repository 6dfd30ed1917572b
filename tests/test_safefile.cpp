#include "safefile.h"
#include "support.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using test::slurp;

class SafeFileTest : public ::testing::Test {
  protected:
    void SetUp() override { test::put(target_, "old"); }
    // Writes `text` through a SafeFile on `target`; the result of the commit.
    static bool save(const std::string& target, const std::string& text) {
        SafeFile f(target.c_str());
        return f.stream() && fputs(text.c_str(), f.stream()) >= 0 && f.commit();
    }
    test::TempDir dir;
    std::string target_ = dir.path("out.cfg");
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
    EXPECT_TRUE(save(dir.path("fresh.cfg"), "x"));
    umask(mask);
    ASSERT_EQ(stat(dir.path("fresh.cfg").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u) << "a new file gets the usual mode";

    ASSERT_EQ(symlink("out.cfg", dir.path("link.cfg").c_str()), 0);
    EXPECT_TRUE(save(dir.path("link.cfg"), "via link"));
    EXPECT_EQ(slurp(target_), "via link");
    ASSERT_EQ(lstat(dir.path("link.cfg").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"fresh.cfg", "link.cfg", "out.cfg"}));
}

TEST_F(SafeFileTest, AnyFailureLeavesTheOldFileAndNoTemporary) {
    {
        SafeFile abandoned(target_.c_str());
        fputs("half", abandoned.stream());
    }
    EXPECT_FALSE(save(dir.path("missing/out.cfg"), "x"));
    EXPECT_EQ(SafeFile(dir.path().c_str()).stream(), nullptr) << "a folder is no file to replace";

    {
        test::FileSizeLimit limit(1000);
        EXPECT_FALSE(save(target_, std::string(5000, 'n')));
    }

    // A folder that cannot be written; root ignores the mode, so the attempt runs as nobody.
    chmod(dir.path().c_str(), 0555);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0)
        _exit((geteuid() != 0 || setuid(65534) == 0) && !save(target_, "x") ? 0 : 1);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

    EXPECT_EQ(slurp(target_), "old");
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"out.cfg"});
}
