// Sequential writes of one local file for streamed downloads. Plain C++ without Python
// headers: callers release the GIL around every call.
#pragma once

#include <cstddef>

namespace brivel::files {

class FileWriter {
  public:
    FileWriter() = default;
    ~FileWriter() { close(); }
    FileWriter(const FileWriter&) = delete;
    FileWriter& operator=(const FileWriter&) = delete;

    // Opens for writing, creating the file (mode 0666 less the umask): appending to what is
    // there, or truncating it to zero bytes. Returns 0 or an errno: EISDIR for a directory,
    // EINVAL for a pipe, socket or device, which is never written (opening a pipe waits for
    // a reader, and a device takes bytes that no file keeps).
    int open(const char* path, bool append);
    // Creates `path` afresh (mode 0666 less the umask); EEXIST when any entry is there, a
    // link, pipe, socket or device included, which is left as it is.
    int create(const char* path);

    // Writes all `n` bytes (short writes and EINTR are retried). Returns 0 or an errno.
    int write(const void* data, std::size_t n);

    // Starts writing what was written so far out to the disk, without waiting for it. A
    // file system that flushes a file renamed over another (ext4 does) then finds little
    // left to do in the rename.
    void start_writeback();

    // Closes the file; returns 0 or the errno of close (a deferred write error). A closed
    // writer closes as 0.
    int close();
    bool is_open() const { return fd_ >= 0; }

  private:
    int fd_ = -1;

    int open_with(const char* path, int flags);
};

}  // namespace brivel::files
