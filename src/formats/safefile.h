// Replacing a file without ever damaging it: the new content goes to a temporary file in the
// target's folder, which takes the target's place only when every byte of it reached the disk.
// Where the folder cannot be written but the file can, the content is gathered in memory and
// written over the file at the commit; a file its owner made read-only is never replaced.
// What exists and is no regular file (a device, a named pipe, a socket), and `-` for standard
// output, is written straight into: there is nothing to replace (formats/streams.h).
#pragma once

#include <cstdio>
#include <string>
#include <sys/types.h>

class SafeFile {
  public:
    // Creates the temporary beside `target` (a symbolic link is followed, so the file it points
    // to is the one replaced), or opens what is written straight into. stream() is null when
    // neither can be set up, and when `target` exists but may not be written.
    explicit SafeFile(const char* target);
    // Removes the temporary unless commit() succeeded: the target stays as it was. Nothing more
    // reaches what is written straight into.
    ~SafeFile();
    SafeFile(const SafeFile&) = delete;
    SafeFile& operator=(const SafeFile&) = delete;

    FILE* stream() const { return stream_; }
    // The errno of the first step that failed (a write on the stream included); 0 while none has.
    int error() const { return error_; }
    // Flushes, syncs and closes the temporary, then renames it over the target (what is written
    // straight into is flushed and closed). False when any step failed or a write on the stream
    // had failed; the temporary is then removed.
    bool commit();

    // From now on, a signal that would end the process first removes every temporary there is,
    // then gets the action it had before: its default, unless a handler was there. Ignored
    // signals stay ignored.
    static void remove_temporaries_on_signals();

  private:
    static ssize_t write_out(void* self, const char* data, size_t size);
    // Keeps errno as the error, unless an earlier step failed; always false.
    bool fail();
    void open_stream();
    void discard();
    void unlist();
    bool commit_in_place();

    std::string target_;
    std::string temporary_;
    // The temporary's place in the list the signal handler removes, -1 when it is not listed.
    int listed_ = -1;
    FILE* stream_ = nullptr;
    // The temporary, or what is written straight into, as the stream writes it.
    int fd_ = -1;
    bool straight_ = false;
    int error_ = 0;
    // In place: the target, opened for writing, and the memory the stream fills.
    int target_fd_ = -1;
    char* buffer_ = nullptr;
    size_t size_ = 0;
};
