// Planning of a multipart upload (presign batches, in-flight depth, how many
// large files upload at once) and the native reads of one part. Plain C++ without Python:
// callers release the GIL around the reads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/digest.hpp"

namespace brivel::multipart {

// Python's floor division for the settings arithmetic (settings may be zero or negative).
long long floordiv(long long a, long long b);

// Part geometry (offset and length of part `pn`) is dataparts::part_range.

// The missing part numbers cut into presign batches. Plain mode: 100 parts per batch. With
// part checksums every part of a batch is hashed before the batch is presigned, so a batch
// covers at most 1 GiB of parts, and the first one only max(8, pool_workers) parts so that
// the first uploads start early.
std::vector<std::vector<long long>> batches(const std::vector<long long>& missing, bool checksum_parts,
                                            long long part_size, long long pool_workers);

struct DepthSettings {
    long long budget = 0;            // UPLOAD_MEMORY_BUDGET_BYTES
    long long concurrency = 1;       // large files uploading at once, sharing the budget
    long long part_size = 1;
    long long small_part_bytes = 0;  // UPLOAD_SMALL_PART_BYTES
    long long depth_small = 1;       // UPLOAD_TARGET_INFLIGHT_PARTS_SMALL
    long long depth_large = 1;       // UPLOAD_TARGET_INFLIGHT_PARTS
    bool adaptive = false;           // _UPLOAD_ADAPTIVE
    long long socket_ceiling = 1;    // _UPLOAD_SOCKET_CEILING
    long long total_parts = 1;
};

struct Depth {
    long long max_inflight = 1;  // fixed depth, and the adaptive controller's floor
    long long cap = 1;           // adaptive upper bound (== max_inflight: no controller)
    long long pool_workers = 1;  // threads of the part pool
    bool controller = false;     // an adaptive depth controller applies
};

// The in-flight depth of one upload: its share of the memory budget in whole parts, bounded
// by the configured depth for its part size; in adaptive mode allowed to grow up to the
// socket ceiling, the share and the part count.
Depth plan_depth(const DepthSettings& s);

// Large files uploading at once: at most the configured number, the number of files and
// the number of whole parts that fit in the budget; at least 1.
long long large_file_concurrency(long long budget, long long part_size, long long configured, long long files);

// Reads up to `length` bytes at `offset` into `buf`, one cache-sized block at a time
// (fed to `md5` when given while the block is hot). Returns 0 or an errno (EISDIR for a
// directory), or cancel::kCancelled once `stop` (asked before every block) is requested;
// `got` is below `length` only when the file ends first.
int read_region(const char* path, std::uint64_t offset, void* buf, std::size_t length, std::size_t& got,
                digest::Md5* md5 = nullptr, const cancel::Token* stop = nullptr);

// SHA-256 of up to `length` bytes from `offset`, read in pieces of at most `piece` bytes;
// stops at the end of the file. Returns 0 or an errno, or cancel::kCancelled as above.
int sha256_region(const char* path, std::uint64_t offset, std::uint64_t length, digest::Sha256Raw& out,
                  const cancel::Token* stop = nullptr, std::size_t piece = std::size_t{8} << 20);

}  // namespace brivel::multipart
