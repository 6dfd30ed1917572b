#include "formats/safefile.h"
#include "support/files.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using test::slurp;

// Writes `text` through a SafeFile on `target`: 0, or the errno of the step that failed.
int save(const std::string& target, const std::string& text) {
    SafeFile f(target.c_str());
    bool saved = f.stream() && fputs(text.c_str(), f.stream()) >= 0 && f.commit();
    EXPECT_EQ(saved, f.error() == 0) << target;
    return f.error();
}

} // namespace

TEST(SafeFile, ReplacesOnCommitKeepingModeAndLinksAndNothingElseOnFailure) {
    test::TempDir dir;
    const std::string target = dir.path("out.cfg");
    test::put(target, "old");
    chmod(target.c_str(), 0640);
    {
        SafeFile f(target.c_str());
        ASSERT_NE(f.stream(), nullptr);
        fputs("new", f.stream());
        EXPECT_EQ(slurp(target), "old") << "nothing changes before the commit";
        ASSERT_TRUE(f.commit());
    }
    EXPECT_EQ(slurp(target), "new");
    EXPECT_EQ(fs::status(target).permissions(), fs::perms(0640));
    umask(022); // the usual mask
    EXPECT_EQ(save(dir.path("fresh.cfg"), "x"), 0);
    EXPECT_EQ(fs::status(dir.path("fresh.cfg")).permissions(), fs::perms(0644))
        << "a new file gets the usual mode";
    ASSERT_EQ(symlink("out.cfg", dir.path("link.cfg").c_str()), 0);
    EXPECT_EQ(save(dir.path("link.cfg"), "via link"), 0);
    EXPECT_EQ(slurp(target), "via link");
    EXPECT_TRUE(fs::is_symlink(dir.path("link.cfg")));

    // Any failure leaves the old file and no temporary.
    {
        SafeFile abandoned(target.c_str());
        fputs("half", abandoned.stream());
    }
    EXPECT_EQ(save(dir.path("missing/out.cfg"), "x"), ENOENT);
    EXPECT_EQ(save(dir.path(), "x"), EISDIR) << "a folder is no file to replace";
    {
        test::FileSizeLimit limit(1000);
        EXPECT_EQ(save(target, std::string(5000, 'n')), EFBIG) << "a write's own error";
    }
    EXPECT_EQ(slurp(target), "via link");
    EXPECT_EQ(dir.entries(), (std::vector<std::string>{"fresh.cfg", "link.cfg", "out.cfg"}));
}

// Permissions only mean something to a user other than root: as root, the checks run in a
// child that has become nobody.
TEST(SafeFile, FolderOrFilePermissionsAsAnOrdinaryUser) {
    const uid_t nobody = 65534;
    test::TempDir dir;
    // A file of our own in a folder we cannot write, and a read-only file in a folder we can.
    std::string locked = dir.path("locked"), in_place = locked + "/in-place.cfg",
                protected_file = dir.path("protected.cfg");
    mkdir(locked.c_str(), 0755);
    test::put(in_place, "old content, longer than the new");
    test::put(protected_file, "kept");
    chmod(dir.path().c_str(), 0777);
    chmod(protected_file.c_str(), 0444);
    if (geteuid() == 0) {
        ASSERT_EQ(chown(in_place.c_str(), nobody, nobody), 0);
    }
    chmod(locked.c_str(), 0555);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (geteuid() == 0 && (setgid(nobody) != 0 || setuid(nobody) != 0))
            _exit(2);
        SafeFile refused(protected_file.c_str());
        _exit(save(in_place, "new") == 0 && refused.error() == EACCES ? 0 : 1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    chmod(locked.c_str(), 0755);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 2)
        GTEST_SKIP() << "running as root and cannot become nobody";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(slurp(in_place), "new") << "written in place, and cut to its new length";
    EXPECT_EQ(slurp(protected_file), "kept");
    EXPECT_EQ(dir.entries("locked"), std::vector<std::string>{"in-place.cfg"});
}
