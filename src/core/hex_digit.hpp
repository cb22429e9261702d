// The value of a hexadecimal digit, for every reader of hexadecimal text (content hashes,
// ETags, JSON escapes). A table: the digest reader looks up two per byte without branches.
#pragma once

#include <array>
#include <cstdint>

namespace brivel::hex {

namespace detail {

constexpr std::array<signed char, 256> table(bool upper) {
    std::array<signed char, 256> t{};
    for (int c = 0; c < 256; ++c) {
        t[c] = c >= '0' && c <= '9' ? c - '0'
             : c >= 'a' && c <= 'f' ? c - 'a' + 10
             : upper && c >= 'A' && c <= 'F' ? c - 'A' + 10
                                             : -1;
    }
    return t;
}

inline constexpr std::array<signed char, 256> kAnyCase = table(true);
inline constexpr std::array<signed char, 256> kLowerCase = table(false);

}  // namespace detail

// 0 to 15 for a digit of either case, -1 for any other character.
constexpr int digit(std::uint32_t c) { return c < 256 ? detail::kAnyCase[c] : -1; }
// 0 to 15 for a lower-case digit, -1 for any other character (upper-case digits included).
constexpr int lower_digit(std::uint32_t c) { return c < 256 ? detail::kLowerCase[c] : -1; }

}  // namespace brivel::hex
