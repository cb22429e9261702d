// Part planning, ETag rules and back-off of a multipart upload to the data store. Plain C++:
// sizes are 64-bit, every intermediate product is computed in 128 bits, and division rounds
// toward minus infinity, as the interpreter's integers do.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string_view>

namespace brivel::dataparts {

// Raised for a part-count limit that leaves no room (limit - 1000 == 0).
struct ZeroDivision : std::domain_error {
    ZeroDivision() : std::domain_error("division by zero") {}
};

constexpr std::int64_t kMiB = 1048576;
constexpr std::int64_t kMaxPartSize = 5120 * kMiB;  // 5 GiB
constexpr std::int64_t kHeadroomParts = 1000;       // the growth rule aims 1000 below the limit

// The part size of an upload of `size` bytes: `configured`, unless more than
// (max_parts - 1000) parts of it would be needed; then ceil(size / (max_parts - 1000)),
// rounded up to whole MiB and capped at 5 GiB.
std::int64_t part_size(std::int64_t size, std::int64_t configured, std::int64_t max_parts);

// max(1, ceil(size / part_size)) with floor-division semantics.
std::int64_t part_count(std::int64_t size, std::int64_t part_size);

// The 0-based offset of part `pn` (1-based) and its length, min(part_size, size - offset).
struct Range {
    std::int64_t offset;
    std::int64_t length;
};
Range part_range(std::int64_t pn, std::int64_t part_size, std::int64_t size);

// Every double quote at either end removed.
std::string_view strip_quotes(std::string_view etag);

// 32 hexadecimal digits (either case): an ETag that is a plain MD5 and can be checked.
bool is_hex_md5(std::string_view etag);

// Case-insensitive equality of an ETag with a lower-case MD5 hex digest.
bool same_md5(std::string_view etag, std::string_view md5_hex);

// The back-off base of every transfer after failed attempt `attempt` (from 0):
// min(0.5 * 2^attempt, 30) seconds.
double backoff_base(std::int64_t attempt);

// The data store's pause after failed attempt `attempt`: the base, halved after even
// attempts. Deterministic, so a test can predict every pause.
double backoff_seconds(std::int64_t attempt);

}  // namespace brivel::dataparts
