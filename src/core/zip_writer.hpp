// ZIP archives written in memory: Deflate members (zlib's default level, raw stream),
// headers laid out as the interpreter's zipfile module writes them to a seekable file
// (no data descriptors, ZIP64 records past the same limits), and the archive of a whole
// directory tree in the order of a top-down os.walk. Plain C++, run without the GIL.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/cancel.hpp"

namespace brivel::zipw {

// Sizes and offsets past this, and more than 0xFFFF members, take ZIP64 records (the
// limit zipfile uses, so that readers with signed 32-bit fields read them too).
constexpr std::uint64_t kZip64Limit = (std::uint64_t{1} << 31) - 1;
constexpr std::size_t kCountLimit = 0xFFFF;

// One finished member: its name (UTF-8 or plain ASCII bytes), the attributes the archive
// records, and its Deflate stream.
struct Member {
    std::string name;
    std::uint32_t mode = 0100644;  // st_mode, kept in the external attributes
    std::int64_t mtime = 0;        // seconds since the epoch, recorded in local time
    std::uint32_t crc = 0;
    std::uint64_t size = 0;        // uncompressed
    std::string deflated;
};

// A raw Deflate stream at zlib's default level, reused from member to member.
class Deflater {
  public:
    Deflater();
    ~Deflater();
    Deflater(const Deflater&) = delete;
    Deflater& operator=(const Deflater&) = delete;

    // Starts `out` afresh (`size_hint`: the expected input size, for one allocation).
    void begin(Member& out, std::uint64_t size_hint);
    void feed(const void* data, std::size_t n);
    void finish();

  private:
    void run(int flush);
    void* stream_;
    Member* out_ = nullptr;
    std::size_t used_ = 0;  // bytes of out_->deflated written so far
};

// Members in archive order, then the central directory.
class Archive {
  public:
    explicit Archive(std::uint64_t zip64_limit = kZip64Limit, std::size_t count_limit = kCountLimit)
        : zip64_limit_(zip64_limit), count_limit_(count_limit) {}

    void add(Member&& m);
    std::size_t count() const { return members_.size(); }

    // Lays the archive out; returns its total size in bytes.
    std::uint64_t finish();
    // Writes the laid-out archive to `out` (finish() bytes), releasing each member's data
    // once it is copied.
    void write_to(unsigned char* out);

  private:
    struct Layout {
        std::string local;  // local header, name and extra field
        std::string central;
    };
    std::uint64_t zip64_limit_;
    std::size_t count_limit_;
    std::vector<Member> members_;
    std::vector<Layout> layout_;
    std::string end_;
    std::uint64_t total_ = 0;
};

// DOS date and time of `mtime` in local time, clamped to 1980-01-01 00:00:00 .. 2107-12-31
// 23:59:58 as zipfile does without strict time stamps. High 16 bits: date, low: time.
std::uint32_t dos_datetime(std::int64_t mtime);

// Archive of the directory tree at `top`, as zipping every file that os.walk(top) lists
// would make it: directories top-down, each one's files in listing order before its
// subdirectories, links to directories not entered, directories that cannot be listed (`top`
// itself included: a missing one gives an empty archive) skipped. Entries that are not
// regular files once links are followed (pipes, sockets, devices) are left out; a broken link
// is an error, as reading it would be.
struct DirectoryFailure {
    enum Kind { none, stat, open, read, bad_name, cancelled } kind = none;
    int error = 0;        // errno (0 for a name that is not UTF-8)
    std::string path;     // the entry's path (top joined with its relative name)
    std::string name;     // its relative name, as the member would be named
};

struct DirectoryArchive {
    Archive archive;
    DirectoryFailure failure;  // the first failure in walk order, if any
};

// Reads and compresses the files on up to `workers` threads; `chunk` is the read size.
// Once `stop` (asked before every directory listed, every file and every chunk) is
// requested, the work breaks off and the failure is `cancelled`.
DirectoryArchive zip_directory(const std::string& top, std::size_t workers, const cancel::Token* stop = nullptr,
                               std::size_t chunk = 1 << 20);

}  // namespace brivel::zipw
