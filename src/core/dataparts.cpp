#include "core/dataparts.hpp"

#include <algorithm>
#include <cmath>

#include "core/hex_digit.hpp"

namespace brivel::dataparts {
namespace {

using Wide = __int128;

Wide floordiv(Wide a, Wide b) {
    if (b == 0) throw ZeroDivision();
    Wide q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
    return q;
}

Wide ceildiv(Wide a, Wide b) { return -floordiv(-a, b); }

std::int64_t narrow(Wide v) {
    if (v > INT64_MAX || v < INT64_MIN) throw std::overflow_error("part size out of range");
    return static_cast<std::int64_t>(v);
}

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

std::int64_t part_size(std::int64_t size, std::int64_t configured, std::int64_t max_parts) {
    Wide room = static_cast<Wide>(max_parts) - kHeadroomParts;
    if (static_cast<Wide>(size) <= static_cast<Wide>(configured) * room) return configured;
    Wide needed = ceildiv(size, room);
    Wide rounded = floordiv(needed + kMiB - 1, kMiB) * kMiB;
    return narrow(std::min<Wide>(rounded, kMaxPartSize));
}

std::int64_t part_count(std::int64_t size, std::int64_t part_size) {
    Wide n = floordiv(static_cast<Wide>(size) + part_size - 1, part_size);
    return narrow(std::max<Wide>(1, n));
}

Range part_range(std::int64_t pn, std::int64_t part_size, std::int64_t size) {
    Wide off = (static_cast<Wide>(pn) - 1) * part_size;
    Wide len = std::min<Wide>(part_size, static_cast<Wide>(size) - off);
    return {narrow(off), narrow(len)};
}

std::string_view strip_quotes(std::string_view etag) {
    std::size_t b = etag.find_first_not_of('"');
    if (b == std::string_view::npos) return {};
    std::size_t e = etag.find_last_not_of('"');
    return etag.substr(b, e - b + 1);
}

bool is_hex_md5(std::string_view etag) {
    if (etag.size() != 32) return false;
    for (char c : etag)
        if (hex::digit(static_cast<unsigned char>(c)) < 0) return false;
    return true;
}

bool same_md5(std::string_view etag, std::string_view md5_hex) {
    if (etag.size() != md5_hex.size()) return false;
    for (std::size_t i = 0; i < etag.size(); ++i)
        if (lower(etag[i]) != md5_hex[i]) return false;
    return true;
}

double backoff_base(std::int64_t attempt) {
    // The cap is reached from attempt 6 on; clamping first keeps huge attempt numbers out of
    // the floating-point range.
    return attempt >= 6 ? 30.0 : std::ldexp(0.5, static_cast<int>(std::max<std::int64_t>(attempt, -1100)));
}

double backoff_seconds(std::int64_t attempt) {
    const double base = backoff_base(attempt);
    // Python's % gives a non-negative remainder for a positive divisor.
    std::int64_t odd = ((attempt % 2) + 2) % 2;
    return base * (0.5 + 0.5 * static_cast<double>(odd));
}

}  // namespace brivel::dataparts
