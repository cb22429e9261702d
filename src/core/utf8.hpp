// Strict UTF-8 as the interpreter's decoder reads it: overlong forms, encoded surrogates
// and anything above U+10FFFF are no UTF-8. Plain C++, inline: the walk and the cache
// reader run these on every name.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace brivel::utf8 {

// The length of the well-formed sequence at `p` (1 for ASCII), or 0 when none starts
// there, a sequence cut short by `end` included.
inline std::size_t sequence_length(const unsigned char* p, const unsigned char* end) {
    const unsigned c = p[0];
    if (c < 0x80) return 1;
    const std::size_t avail = static_cast<std::size_t>(end - p);
    auto cont = [&](std::size_t k, unsigned lo = 0x80, unsigned hi = 0xBF) {
        return k < avail && p[k] >= lo && p[k] <= hi;
    };
    if (c >= 0xC2 && c <= 0xDF) return cont(1) ? 2 : 0;
    if (c >= 0xE0 && c <= 0xEF) {
        // E0: the second byte from A0 (below, overlong); ED: up to 9F (above, surrogates).
        const unsigned lo = c == 0xE0 ? 0xA0 : 0x80, hi = c == 0xED ? 0x9F : 0xBF;
        return cont(1, lo, hi) && cont(2) ? 3 : 0;
    }
    if (c >= 0xF0 && c <= 0xF4) {
        // F0: from 90 (below, overlong); F4: up to 8F (above, past U+10FFFF).
        const unsigned lo = c == 0xF0 ? 0x90 : 0x80, hi = c == 0xF4 ? 0x8F : 0xBF;
        return cont(1, lo, hi) && cont(2) && cont(3) ? 4 : 0;
    }
    return 0;
}

// The code point of the well-formed sequence of `n` bytes at `p`.
inline char32_t decode(const unsigned char* p, std::size_t n) {
    switch (n) {
        case 1: return p[0];
        case 2: return (p[0] & 0x1Fu) << 6 | (p[1] & 0x3Fu);
        case 3: return (p[0] & 0x0Fu) << 12 | (p[1] & 0x3Fu) << 6 | (p[2] & 0x3Fu);
        default: return (p[0] & 0x07u) << 18 | (p[1] & 0x3Fu) << 12 | (p[2] & 0x3Fu) << 6 | (p[3] & 0x3Fu);
    }
}

// Whether all of `text` is well-formed.
inline bool valid(std::string_view text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const auto* end = p + text.size();
    while (p < end) {
        const std::size_t n = sequence_length(p, end);
        if (!n) return false;
        p += n;
    }
    return true;
}

// Appends the encoding of the code point `c` (at most U+10FFFF).
inline void append(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        char b[2] = {static_cast<char>(0xC0 | (c >> 6)), static_cast<char>(0x80 | (c & 0x3F))};
        out.append(b, 2);
    } else if (c < 0x10000) {
        char b[3] = {static_cast<char>(0xE0 | (c >> 12)), static_cast<char>(0x80 | ((c >> 6) & 0x3F)),
                     static_cast<char>(0x80 | (c & 0x3F))};
        out.append(b, 3);
    } else {
        char b[4] = {static_cast<char>(0xF0 | (c >> 18)), static_cast<char>(0x80 | ((c >> 12) & 0x3F)),
                     static_cast<char>(0x80 | ((c >> 6) & 0x3F)), static_cast<char>(0x80 | (c & 0x3F))};
        out.append(b, 4);
    }
}

}  // namespace brivel::utf8
