#include <algorithm>
#include <string>
#include <string_view>

#include "check.hpp"
#include "core/glob.hpp"
#include "core/utf8.hpp"

using namespace brivel;

namespace {

// Each case agrees with the interpreter: bytes.decode("utf-8") succeeds exactly for the
// valid ones, and `first` is the length of the sequence at the start (0: none starts there).
struct Case {
    std::string_view bytes;
    bool valid;
    std::size_t first;
    char32_t code_point;  // of the first sequence, when there is one
};

constexpr Case kCases[] = {
    {"", true, 0, 0},
    {"plain/a.txt", true, 1, U'p'},
    {"\x7f", true, 1, 0x7F},
    // the smallest and largest of each length
    {"\xc2\x80", true, 2, 0x80},
    {"\xdf\xbf", true, 2, 0x7FF},
    {"\xe0\xa0\x80", true, 3, 0x800},
    {"\xef\xbf\xbf", true, 3, 0xFFFF},
    {"\xed\x9f\xbf", true, 3, 0xD7FF},  // just below the surrogates
    {"\xee\x80\x80", true, 3, 0xE000},  // just above them
    {"\xf0\x90\x80\x80", true, 4, 0x10000},
    {"\xf4\x8f\xbf\xbf", true, 4, 0x10FFFF},
    {"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80", true, 2, 0xE9},
    // overlong forms
    {"\xc0\x80", false, 0, 0},
    {"\xc1\xbf", false, 0, 0},
    {"\xe0\x80\xaf", false, 0, 0},
    {"\xe0\x9f\xbf", false, 0, 0},
    {"\xf0\x80\x80\x80", false, 0, 0},
    {"\xf0\x8f\xbf\xbf", false, 0, 0},
    // encoded surrogates
    {"\xed\xa0\x80", false, 0, 0},
    {"\xed\xbf\xbf", false, 0, 0},
    // past U+10FFFF
    {"\xf4\x90\x80\x80", false, 0, 0},
    {"\xf5\x80\x80\x80", false, 0, 0},
    {"\xff", false, 0, 0},
    // truncated, at the end and before another character
    {"\xc3", false, 0, 0},
    {"\xe2\x82", false, 0, 0},
    {"\xf0\x9f\x98", false, 0, 0},
    {"\xe2\x82z", false, 0, 0},
    {"\xf0\x9f\x98z", false, 0, 0},
    // a lone continuation byte, and a valid text with a bad byte at its end
    {"\x80", false, 0, 0},
    {"ok\xc3\xa9\xbf", false, 1, U'o'},
};

const unsigned char* bytes_of(std::string_view s) { return reinterpret_cast<const unsigned char*>(s.data()); }

// The case's bytes in hex, to name it in a failure.
std::string hex(std::string_view s) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : s) out += {'\\', 'x', digits[c >> 4], digits[c & 0xF]};
    return out;
}

}  // namespace

TEST(utf8_validates_as_the_strict_decoder_does) {
    for (const Case& c : kCases) {
        const std::string what = "\"" + hex(c.bytes) + "\": ";
        if (utf8::valid(c.bytes) != c.valid) check::fail(__FILE__, __LINE__, what + "valid()");
        if (c.bytes.empty()) continue;
        const std::size_t n = utf8::sequence_length(bytes_of(c.bytes), bytes_of(c.bytes) + c.bytes.size());
        if (n != c.first) check::fail(__FILE__, __LINE__, what + "sequence_length()");
        if (n && utf8::decode(bytes_of(c.bytes), n) != c.code_point) check::fail(__FILE__, __LINE__, what + "decode()");
    }
}

TEST(utf8_sequence_stops_at_the_end_given) {
    // The bytes past `end` are never read: a sequence cut there is none.
    const std::string_view euro = "\xe2\x82\xac";
    CHECK_EQ(utf8::sequence_length(bytes_of(euro), bytes_of(euro) + 3), 3u);
    CHECK_EQ(utf8::sequence_length(bytes_of(euro), bytes_of(euro) + 2), 0u);
}

TEST(utf8_append_round_trips_every_length) {
    for (char32_t cp : {U'\0', U'A', char32_t{0x7F}, char32_t{0x80}, char32_t{0x7FF}, char32_t{0x800}, char32_t{0xFFFF},
                        char32_t{0x10000}, char32_t{0x10FFFF}}) {
        std::string s;
        utf8::append(s, cp);
        const std::size_t n = utf8::sequence_length(bytes_of(s), bytes_of(s) + s.size());
        CHECK_EQ(n, s.size());
        CHECK(n && utf8::decode(bytes_of(s), n) == cp);
    }
}

TEST(utf8_file_system_decoding_escapes_each_byte_of_a_bad_sequence) {
    for (const Case& c : kCases) {
        glob::Text t;
        glob::decode_fs(c.bytes, t);
        // A bad sequence turns into lone surrogates, so only a valid text decodes without any.
        const bool escaped = std::any_of(t.begin(), t.end(), [](char32_t x) { return x >= 0xDC80 && x <= 0xDCFF; });
        if (escaped == c.valid) check::fail(__FILE__, __LINE__, "decode_fs of \"" + hex(c.bytes) + "\"");
    }
    glob::Text t;
    glob::decode_fs("a\xe2\x82z\xf0\x9f\x98\x80", t);
    CHECK(t == (glob::Text{U'a', 0xDCE2, 0xDC82, U'z', 0x1F600}));
}
