#include "formats/safefile.h"
#include "base/gmem.h"
#include "formats/streams.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <glib.h>
#include <glib/gstdio.h>
#include <iterator>
#include <memory>
#include <pthread.h>
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

// The temporary's name for g_mkstemp, beside `target`: ".NAME.XXXXXX", which must be a name the
// folder takes, so a long NAME is cut, between two characters.
std::string temporary_template(const std::string& target) {
    GCharPtr folder(g_path_get_dirname(target.c_str()));
    GCharPtr base(g_path_get_basename(target.c_str()));
    long name_max = pathconf(folder.get(), _PC_NAME_MAX);
    size_t room = static_cast<size_t>(name_max > 8 ? name_max : NAME_MAX) - 8,
           keep = std::strlen(base.get());
    if (keep > room)
        for (keep = room; keep > 0 && (base.get()[keep] & 0xC0) == 0x80;)
            --keep;
    GCharPtr name(g_strdup_printf(".%.*s.XXXXXX", static_cast<int>(keep), base.get()));
    return GCharPtr(g_build_filename(folder.get(), name.get(), nullptr)).get();
}

// The temporaries that exist, for the signal handler: storage it may read at any moment, a path
// written whole before its entry is marked used.
struct Listed {
    std::atomic<bool> used{false};
    char path[PATH_MAX + NAME_MAX + 2];
};
static_assert(std::atomic<bool>::is_always_lock_free);
Listed listed[8];

int list_temporary(const std::string& path) {
    for (int i = 0; i < static_cast<int>(std::size(listed)); ++i)
        if (!listed[i].used.load() && path.size() < sizeof listed[i].path) {
            std::memcpy(listed[i].path, path.c_str(), path.size() + 1);
            listed[i].used.store(true);
            return i;
        }
    return -1;
}

// The actions the signals had before remove_temporaries_on_signals took them over.
struct sigaction earlier[NSIG];

// Only what is async-signal-safe: unlink, sigaction, raise.
extern "C" void on_ending_signal(int signal) {
    for (Listed& entry : listed)
        if (entry.used.load())
            unlink(entry.path);
    sigaction(signal, &earlier[signal], nullptr);
    // Blocked while the handler runs: taken as before as soon as it returns.
    raise(signal);
}
} // namespace

void SafeFile::remove_temporaries_on_signals() {
    static bool taken = false;
    if (taken)
        return;
    taken = true;
    struct sigaction action {};
    action.sa_handler = on_ending_signal;
    sigfillset(&action.sa_mask);
    auto take = [&](int signal) {
        if (sigaction(signal, nullptr, &earlier[signal]) == 0 &&
            earlier[signal].sa_handler != SIG_IGN)
            sigaction(signal, &action, nullptr);
    };
    // Every signal whose default action ends the process, but SIGKILL, which cannot be caught.
    for (int signal : {SIGHUP,  SIGINT,    SIGQUIT, SIGILL,  SIGTRAP, SIGABRT, SIGBUS,    SIGFPE,
                       SIGUSR1, SIGSEGV,   SIGUSR2, SIGPIPE, SIGALRM, SIGTERM, SIGSTKFLT, SIGXCPU,
                       SIGXFSZ, SIGVTALRM, SIGPROF, SIGIO,   SIGPWR,  SIGSYS})
        take(signal);
    for (int signal = SIGRTMIN; signal <= SIGRTMAX; ++signal)
        take(signal);
}

SafeFile::SafeFile(const char* target) : target_(resolve(target)) {
    struct stat old {};
    bool exists = stat(target, &old) == 0;
    if (!std::strcmp(target, "-") || (exists && !S_ISREG(old.st_mode) && !S_ISDIR(old.st_mode))) {
        straight_ = true;
        fd_ = open_straight(target);
        if (fd_ < 0)
            fail();
        else
            open_stream();
        return;
    }
    // A folder cannot be replaced by a file: better known now than after a long download.
    if (exists && S_ISDIR(old.st_mode)) {
        error_ = EISDIR;
        return;
    }
    // Renaming over a read-only file would replace what its owner protected.
    if (exists && access(target_.c_str(), W_OK) != 0) {
        fail();
        return;
    }
    std::string path = temporary_template(target_);
    // A signal between the creation and the listing would leave the temporary behind.
    sigset_t all, before;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &before);
    // Created with the mode a new file would get (umask applies); a replaced file keeps its own.
    fd_ = g_mkstemp_full(path.data(), O_RDWR | O_CLOEXEC, 0666);
    int made = errno;
    if (fd_ >= 0)
        listed_ = list_temporary(path);
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    errno = made;
    if (fd_ < 0 && exists && (errno == EACCES || errno == EPERM)) {
        // Opened now, so that a file that cannot be written is known before a long download.
        target_fd_ = open(target_.c_str(), O_WRONLY | O_CLOEXEC);
        if (target_fd_ < 0 || !(stream_ = open_memstream(&buffer_, &size_)))
            fail();
        return;
    }
    if (fd_ < 0) {
        fail();
        return;
    }
    temporary_ = path;
    if (exists)
        fchmod(fd_, old.st_mode & 07777);
    open_stream();
}

SafeFile::~SafeFile() {
    // Closed first, so that what the stream still holds goes nowhere: an abandoned output is
    // never sent in part.
    if (fd_ >= 0)
        close(fd_);
    fd_ = -1;
    if (stream_)
        fclose(stream_);
    stream_ = nullptr;
    discard();
    if (target_fd_ >= 0)
        close(target_fd_);
    free(buffer_);
}

bool SafeFile::fail() {
    if (!error_)
        error_ = errno ? errno : EIO;
    return false;
}

// Through write_out, which keeps the errno of a write that fails.
void SafeFile::open_stream() {
    stream_ = fopencookie(this, "w", {nullptr, write_out, nullptr, nullptr});
    if (!stream_) {
        fail();
        close(fd_);
        fd_ = -1;
        discard();
    }
}

ssize_t SafeFile::write_out(void* self, const char* data, size_t size) {
    auto* file = static_cast<SafeFile*>(self);
    size_t done = 0;
    // The stream takes a short count for a failure: the rest is written here.
    while (done < size) {
        ssize_t n = write(file->fd_, data + done, size - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            file->fail();
            return -1;
        }
        done += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

void SafeFile::unlist() {
    if (listed_ >= 0)
        listed[listed_].used.store(false);
    listed_ = -1;
}

void SafeFile::discard() {
    if (!temporary_.empty())
        g_unlink(temporary_.c_str());
    temporary_.clear();
    unlist();
}

// Not atomic: a failure part way leaves the file damaged, which is why it is only the fallback.
bool SafeFile::commit_in_place() {
    bool ok = (fflush(stream_) == 0 && !ferror(stream_)) || fail();
    fclose(stream_);
    stream_ = nullptr;
    size_t done = 0;
    while (ok && done < size_) {
        ssize_t n = pwrite(target_fd_, buffer_ + done, size_ - done, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            ok = fail();
        else
            done += static_cast<size_t>(n);
    }
    ok = ok && ((ftruncate(target_fd_, static_cast<off_t>(size_)) == 0 && fsync(target_fd_) == 0) ||
                fail());
    ok = (close(target_fd_) == 0 || fail()) && ok;
    target_fd_ = -1;
    return ok;
}

bool SafeFile::commit() {
    if (!stream_)
        return false;
    if (target_fd_ >= 0)
        return commit_in_place();
    bool ok = (fflush(stream_) == 0 && !ferror(stream_)) || fail();
    fclose(stream_);
    stream_ = nullptr;
    // Pipes, sockets and most devices keep nothing to sync.
    ok = ok && (fsync(fd_) == 0 || (straight_ && errno == EINVAL) || fail());
    // close reports errors of its own (a delayed write error of the file system).
    ok = (close(fd_) == 0 || fail()) && ok;
    fd_ = -1;
    if (ok && !straight_ && g_rename(temporary_.c_str(), target_.c_str()) != 0)
        ok = fail();
    if (!ok) {
        discard();
        return false;
    }
    temporary_.clear();
    unlist();
    return true;
}
