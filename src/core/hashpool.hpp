// Batch stat and batch hashing of local files for the manifest resolution, and the loop of
// a hashing thread that the build's scanner runs too. Plain C++, run with the GIL released;
// hashing spreads over worker threads.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "core/cancel.hpp"
#include "core/digest.hpp"

namespace brivel::hashpool {

struct StatJob {
    std::string path;  // file-system bytes
    int error = 0;     // errno, 0 on success
    struct stat st {};
};

// stat() of every job, links followed, on up to `workers` threads for long lists. Once
// `stop` (asked before every few hundred jobs) is requested, no further job is started and
// false is returned; the jobs not reached are left as they were. An exception of any thread
// is rethrown after every thread has been joined.
bool stat_all(std::vector<StatJob>& jobs, std::size_t workers, const cancel::Token* stop = nullptr);

struct HashJob {
    std::string path;
    int error = 0;
    bool read_error = false;  // the error came from a read, after a successful open
    std::string hex;
    std::uint64_t bytes = 0;
    bool done = false;  // hashed (or failed); false when the pass stopped before it
};

// Hashes every job on `workers` threads (the calling thread alone when workers <= 1),
// reading in blocks of `chunk` bytes. Once `stop` (asked before every file and every block)
// is requested, the files being hashed break off, no further file is started, and false is
// returned; the jobs not finished have `done` false. An exception of any thread
// (std::bad_alloc for a block buffer) is rethrown here after every thread has been joined.
bool hash_all(std::vector<HashJob>& jobs, std::size_t workers, std::size_t chunk,
              const cancel::Token* stop = nullptr);

// One hashing thread's loop, for passes whose files come from anywhere: `next()` gives the
// path (NUL-terminated) of the next file, nullptr when there is none; the file is read in
// blocks of `block` bytes (digest::block_size) into a buffer of the loop's own, and
// `done(error, digest)` gets its outcome: 0 or the errno of the failed open or read, and
// the raw digest. Once `stop` (asked before every file and every block) is requested, the
// file being hashed breaks off, is not handed to `done`, and the loop ends.
void hash_files(std::size_t block, const cancel::Token* stop, const std::function<const char*()>& next,
                const std::function<void(int error, const digest::FileDigest& d)>& done);

}  // namespace brivel::hashpool
