// Replacing a file without ever damaging it: the new content goes to a temporary file in the
// target's folder, which takes the target's place only when every byte of it reached the disk.
#pragma once

#include <cstdio>
#include <string>

class SafeFile {
  public:
    // Creates the temporary beside `target` (a symbolic link is followed, so the file it points
    // to is the one replaced). stream() is null when it cannot be created.
    explicit SafeFile(const char* target);
    // Removes the temporary unless commit() succeeded: the target stays as it was.
    ~SafeFile();
    SafeFile(const SafeFile&) = delete;
    SafeFile& operator=(const SafeFile&) = delete;

    FILE* stream() const { return stream_; }
    // The temporary's path while there is one.
    const std::string& temporary() const { return temporary_; }
    // Flushes, syncs and closes the temporary, then renames it over the target. False when any
    // step failed or a write on the stream had failed; the temporary is then removed.
    bool commit();

  private:
    void discard();

    std::string target_;
    std::string temporary_;
    FILE* stream_ = nullptr;
};
