#include "safefile.h"
#include "gmem.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <glib.h>
#include <glib/gstdio.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace {
struct FreeDeleter {
    void operator()(char* p) const { free(p); }
};

// The file a save really replaces: the end of a chain of symbolic links, or the name itself
// when it does not exist yet.
std::string resolve(const char* target) {
    std::unique_ptr<char, FreeDeleter> real(realpath(target, nullptr));
    return real ? std::string(real.get()) : std::string(target);
}
} // namespace

SafeFile::SafeFile(const char* target) : target_(resolve(target)) {
    // A folder cannot be replaced by a file: better known now than after a long download.
    if (g_file_test(target_.c_str(), G_FILE_TEST_IS_DIR))
        return;
    GCharPtr folder(g_path_get_dirname(target_.c_str()));
    GCharPtr base(g_path_get_basename(target_.c_str()));
    GCharPtr name(g_strdup_printf(".%s.XXXXXX", base.get()));
    GCharPtr path(g_build_filename(folder.get(), name.get(), nullptr));
    // Created with the mode a new file would get (umask applies); a replaced file keeps its own.
    int fd = g_mkstemp_full(path.get(), O_RDWR | O_CLOEXEC, 0666);
    if (fd < 0)
        return;
    temporary_ = path.get();
    struct stat old {};
    if (stat(target_.c_str(), &old) == 0)
        fchmod(fd, old.st_mode & 07777);
    stream_ = fdopen(fd, "w");
    if (!stream_) {
        close(fd);
        discard();
    }
}

SafeFile::~SafeFile() {
    if (stream_)
        fclose(stream_);
    stream_ = nullptr;
    discard();
}

void SafeFile::discard() {
    if (!temporary_.empty())
        g_unlink(temporary_.c_str());
    temporary_.clear();
}

bool SafeFile::commit() {
    if (!stream_)
        return false;
    bool written = fflush(stream_) == 0 && !ferror(stream_) && fsync(fileno(stream_)) == 0;
    // fclose reports errors of its own (a delayed write error of the file system).
    bool closed = fclose(stream_) == 0;
    stream_ = nullptr;
    if (!written || !closed || g_rename(temporary_.c_str(), target_.c_str()) != 0) {
        discard();
        return false;
    }
    temporary_.clear();
    return true;
}
