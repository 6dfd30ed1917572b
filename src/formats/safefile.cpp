#include "formats/safefile.h"
#include "base/gmem.h"

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
    bool exists = access(target_.c_str(), F_OK) == 0;
    // Renaming over a read-only file would replace what its owner protected.
    if (exists && access(target_.c_str(), W_OK) != 0)
        return;
    GCharPtr folder(g_path_get_dirname(target_.c_str()));
    GCharPtr base(g_path_get_basename(target_.c_str()));
    GCharPtr name(g_strdup_printf(".%s.XXXXXX", base.get()));
    GCharPtr path(g_build_filename(folder.get(), name.get(), nullptr));
    // Created with the mode a new file would get (umask applies); a replaced file keeps its own.
    int fd = g_mkstemp_full(path.get(), O_RDWR | O_CLOEXEC, 0666);
    if (fd < 0 && exists && (errno == EACCES || errno == EPERM)) {
        // Opened now, so that a file that cannot be written is known before a long download.
        target_fd_ = open(target_.c_str(), O_WRONLY | O_CLOEXEC);
        if (target_fd_ >= 0)
            stream_ = open_memstream(&buffer_, &size_);
        return;
    }
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
    if (target_fd_ >= 0)
        close(target_fd_);
    free(buffer_);
}

void SafeFile::discard() {
    if (!temporary_.empty())
        g_unlink(temporary_.c_str());
    temporary_.clear();
}

// Not atomic: a failure part way leaves the file damaged, which is why it is only the fallback.
bool SafeFile::commit_in_place() {
    bool gathered = fflush(stream_) == 0 && !ferror(stream_);
    fclose(stream_);
    stream_ = nullptr;
    size_t done = 0;
    while (gathered && done < size_) {
        ssize_t n = pwrite(target_fd_, buffer_ + done, size_ - done, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += static_cast<size_t>(n);
    }
    bool written = gathered && done == size_ &&
                   ftruncate(target_fd_, static_cast<off_t>(size_)) == 0 && fsync(target_fd_) == 0;
    bool closed = close(target_fd_) == 0;
    target_fd_ = -1;
    return written && closed;
}

bool SafeFile::commit() {
    if (!stream_)
        return false;
    if (target_fd_ >= 0)
        return commit_in_place();
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
