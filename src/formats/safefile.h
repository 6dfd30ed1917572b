// Replacing a file without ever damaging it: the new content goes to a temporary file in the
// target's folder, which takes the target's place only when every byte of it reached the disk.
// Where the folder cannot be written but the file can, the content is gathered in memory and
// written over the file at the commit; a file its owner made read-only is never replaced.
#pragma once

#include <cstdio>
#include <string>

class SafeFile {
  public:
    // Creates the temporary beside `target` (a symbolic link is followed, so the file it points
    // to is the one replaced). stream() is null when neither it nor the in-place writing can be
    // set up, and when `target` exists but may not be written.
    explicit SafeFile(const char* target);
    // Removes the temporary unless commit() succeeded: the target stays as it was.
    ~SafeFile();
    SafeFile(const SafeFile&) = delete;
    SafeFile& operator=(const SafeFile&) = delete;

    FILE* stream() const { return stream_; }
    // The temporary's path while there is one (none when the file is written in place).
    const std::string& temporary() const { return temporary_; }
    // Flushes, syncs and closes the temporary, then renames it over the target. False when any
    // step failed or a write on the stream had failed; the temporary is then removed.
    bool commit();

  private:
    void discard();
    bool commit_in_place();

    std::string target_;
    std::string temporary_;
    FILE* stream_ = nullptr;
    // In place: the target, opened for writing, and the memory the stream fills.
    int target_fd_ = -1;
    char* buffer_ = nullptr;
    size_t size_ = 0;
};
