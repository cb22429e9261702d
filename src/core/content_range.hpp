// The Content-Range header of an answer to a resumed GET ("Range: bytes=N-"), and what it
// says about the bytes already on disk. Plain C++, no Python.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace brivel::ranges {

struct ContentRange {
    bool satisfied = false;  // "bytes FIRST-LAST/TOTAL"; false for "bytes */TOTAL"
    std::uint64_t first = 0, last = 0;
    std::optional<std::uint64_t> total;  // empty for a "*" total
};

// Parses "bytes FIRST-LAST/TOTAL", "bytes FIRST-LAST/*" or "bytes */TOTAL" (case-insensitive
// unit, spaces around the value allowed). Anything else, or LAST < FIRST, gives nothing.
std::optional<ContentRange> parse_content_range(std::string_view text);

enum class Resume {
    Append,    // the body continues the partial file
    Restart,   // the partial file is not a prefix of this object: start again from zero
    Complete,  // the partial file already holds the whole object
};

// A 206 answer to a request for bytes from `existing` on. Without a header the body is taken
// to continue the file; with one, it must start exactly at `existing`.
Resume after_partial(std::optional<std::string_view> content_range, std::uint64_t existing);

// A 416 answer to that request. Without a header the file is taken as complete; with one, the
// object's total size must equal `existing`.
Resume after_unsatisfiable(std::optional<std::string_view> content_range, std::uint64_t existing);

}  // namespace brivel::ranges
