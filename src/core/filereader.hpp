// Sequential reads of one local file for streamed request bodies. Plain C++ without Python
// headers: callers release the GIL around every call, so a slow disk never stalls the
// interpreter.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "core/cancel.hpp"

namespace brivel::files {

// Size of the file at `path`, following symbolic links. Returns 0 or the errno of stat.
int stat_size(const char* path, std::uint64_t& size);

// The whole content of the regular file at `path` into `out`. Returns 0 or an errno, and
// EINVAL for a pipe, socket or device, which is never read (a read could block for ever).
int read_regular(const char* path, std::string& out);

class FileReader {
  public:
    FileReader() = default;
    ~FileReader() { close(); }
    FileReader(const FileReader&) = delete;
    FileReader& operator=(const FileReader&) = delete;

    // Opens read-only. Returns 0 or an errno (EISDIR for a directory, as the interpreter's
    // open() reports it, rather than failing at the first read). With `stop`, an open or a
    // read that a signal breaks off (one that waits on a named pipe) ends with
    // cancel::kCancelled once the stop is requested, instead of waiting again.
    int open(const char* path, const cancel::Token* stop = nullptr);

    // Reads up to `n` bytes: the count read, 0 at end of file (the file is then closed), or
    // -errno. A closed reader reads as end of file.
    long long read(void* buf, std::size_t n);

    // Moves to byte `offset` of an open file. Returns 0 or an errno.
    int seek(std::uint64_t offset);

    void close();
    bool is_open() const { return fd_ >= 0; }
    // The size of a regular file when it was opened, or -1.
    long long size_at_open() const { return size_at_open_; }

  private:
    int fd_ = -1;
    long long size_at_open_ = -1;
    const cancel::Token* stop_ = nullptr;
};

}  // namespace brivel::files
