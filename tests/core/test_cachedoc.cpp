#include <cctype>
#include <climits>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "check.hpp"
#include "core/cachedoc.hpp"

using namespace brivel;
using cachedoc::Index;
using cachedoc::Signature;
using cachedoc::Writer;

// The expected texts below are what json.dumps gives for the same values.

namespace {

constexpr std::string_view kHex = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
constexpr std::string_view kHex2 = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

Signature sig_of(long long size, time_t msec, long mnsec, time_t csec, long cnsec, unsigned long long inode) {
    Signature s;
    s.size = size;
    s.mtime.tv_sec = msec;
    s.mtime.tv_nsec = mnsec;
    s.ctime.tv_sec = csec;
    s.ctime.tv_nsec = cnsec;
    s.inode = inode;
    return s;
}

// The signature of the entry "a.txt" in kGood.
const Signature kSig = sig_of(3, 1700000000, 123456789, 1700000001, 0, 42);

std::string path_json(std::string_view fs_bytes) {
    std::string out;
    cachedoc::put_path(out, fs_bytes);
    return out;
}

// `text` with its first `from` replaced by `to` (which must be there).
std::string sub(std::string text, std::string_view from, std::string_view to) {
    const std::size_t at = text.find(from);
    CHECK(at != std::string::npos);
    if (at != std::string::npos) text.replace(at, from.size(), to);
    return text;
}

const std::string kBody = std::string(R"({"size": 3, "mtime_ns": 1700000000123456789, "ctime_ns": 1700000001000000000, "inode": 42, "sha256": ")") +
                          std::string(kHex) + "\"}";

// A document whose only entry is "a.txt" with the value `body`.
std::string one_entry(const std::string& body) { return R"({"version": 1, "entries": {"a.txt": )" + body + "}}"; }

const std::string kGood = one_entry(kBody);

bool hits(const Index& ix, std::string_view path, const Signature& stat_sig, std::string_view sha) {
    std::optional<std::string_view> got = ix.hit(path, stat_sig);
    return got && *got == sha;
}

}  // namespace

TEST(cachedoc_put_path_writes_what_json_dumps_writes) {
    struct Case {
        std::string_view fs_bytes, json;
    };
    const Case cases[] = {
        {"plain/dir/file.txt", R"("plain/dir/file.txt")"},
        {"", R"("")"},
        {"q\"uo\\te", R"("q\"uo\\te")"},
        {"ctl\x01\x08\t\n\x0c\r\x1f\x7f.x", R"("ctl\u0001\b\t\n\f\r\u001f\u007f.x")"},
        {"caf\xc3\xa9/\xf0\x9f\x98\x80.png", R"("caf\u00e9/\ud83d\ude00.png")"},
        {"raw\xff\xfe.bin", R"("raw\udcff\udcfe.bin")"},
        {"\xe2\x82.trunc", R"("\udce2\udc82.trunc")"},
        // overlong, encoded surrogate and cut-short sequences go byte by byte
        {"\xc3\xa9\xed\xa0\x80\xf0\x9f\x98", R"("\u00e9\udced\udca0\udc80\udcf0\udc9f\udc98")"},
        {"\xc0\xaf\xf4\x90\x80\x80", R"("\udcc0\udcaf\udcf4\udc90\udc80\udc80")"},
    };
    for (const Case& c : cases) {
        const std::string got = path_json(c.fs_bytes);
        if (got != c.json) std::fprintf(stderr, "  put_path gave %s, want %s\n", got.c_str(), std::string(c.json).c_str());
        CHECK(got == c.json);
    }
}

TEST(cachedoc_put_path_escapes_delete_in_an_ascii_path) {
    // json.dumps escapes U+007F also when the rest of the path is plain ASCII.
    CHECK_EQ(path_json("del\x7f"), R"("del\u007f")");
    CHECK_EQ(path_json("\x7f"), R"("\u007f")");
}

TEST(cachedoc_put_string_writes_code_points_as_json_dumps) {
    std::string out;
    cachedoc::put_string(out, std::u32string_view(U"\0\u2028\uffff\U0010ffff", 4));
    CHECK_EQ(out, R"("\u0000\u2028\uffff\udbff\udfff")");
    out.clear();
    cachedoc::put_string(out, U"\u00e9\"\\/~ \x7f\U0001F600");
    CHECK_EQ(out, R"("\u00e9\"\\/~ \u007f\ud83d\ude00")");
}

TEST(cachedoc_signature_present_follows_the_stat_rule) {
    struct Case {
        Signature stat_sig;
        bool present;
    };
    const Case cases[] = {
        {sig_of(0, 0, 0, 0, 0, 0), false},
        {sig_of(5, 0, 0, 7, 0, 9), false},        // no mtime
        {sig_of(5, 7, 0, 7, 0, 0), false},        // no inode
        {sig_of(5, 0, 1, 0, 0, 9), true},         // 1 ns counts as a time
        {sig_of(5, -1, 0, 0, 0, 9), true},        // before 1970
        {sig_of(0, 7, 0, 0, 0, 1), true},         // size and ctime do not matter
    };
    for (const Case& c : cases) CHECK_EQ(c.stat_sig.present(), c.present);
}

TEST(cachedoc_nanoseconds_are_exact_past_2262) {
    struct timespec t {};
    t.tv_sec = 10000000000;  // year 2286
    t.tv_nsec = 5;
    const __int128 want = static_cast<__int128>(10000000000) * 1000000000 + 5;
    CHECK(cachedoc::nanoseconds(t) == want);
    CHECK(cachedoc::nanoseconds(t) > static_cast<__int128>(INT64_MAX));
    t.tv_sec = -1;
    t.tv_nsec = 999999999;
    CHECK(cachedoc::nanoseconds(t) == -1);
}

TEST(cachedoc_writer_matches_json_dumps) {
    {
        Writer w;
        CHECK_EQ(w.finish(), R"({"version": 1, "entries": {}})");
    }
    {
        Writer w;
        w.add("a.txt", kSig, kHex);
        w.add("raw\xff\xfe.bin", sig_of(0, 10000000000, 5, -1, 999999999, ULLONG_MAX),
              "\xc3\xa9" + std::string(62, 'a') + "\xf0\x9f\x98\x80");
        CHECK_EQ(w.finish(),
                 R"({"version": 1, "entries": {"a.txt": {"size": 3, "mtime_ns": 1700000000123456789, "ctime_ns": 1700000001000000000, "inode": 42, "sha256": "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"}, "raw\udcff\udcfe.bin": {"size": 0, "mtime_ns": 10000000000000000005, "ctime_ns": -1, "inode": 18446744073709551615, "sha256": "\u00e9aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa\ud83d\ude00"}}})");
    }
}

TEST(cachedoc_signature_of_a_stat) {
    struct stat st {};
    st.st_size = 3;
    st.st_mtim = {1700000000, 123456789};
    st.st_ctim = {1700000001, 0};
    st.st_ino = 42;
    const Signature stat_sig = cachedoc::signature_of(st);
    CHECK(stat_sig.present());
    CHECK(cachedoc::members_of(stat_sig) == cachedoc::members_of(kSig));
    CHECK(cachedoc::members_of(stat_sig).mtime_ns == static_cast<__int128>(1700000000123456789LL));
    st.st_ino = 0;
    CHECK(!cachedoc::signature_of(st).present());
}

TEST(cachedoc_writer_takes_entries_whose_key_and_value_the_caller_writes) {
    auto put = [](std::string_view text) {
        return [text](std::string& out) { cachedoc::put_chars(out, text.size(), [&](std::size_t i) { return static_cast<char32_t>(text[i]); }); };
    };
    Writer w;
    w.add(put("a.txt"), cachedoc::members_of(kSig), put(kHex));
    w.add_value(put("odd"), R"({"sha256": 5})");
    w.add("b", sig_of(7, 1, 2, 3, 4, 5), kHex2);
    CHECK_EQ(w.finish(),
             R"({"version": 1, "entries": {"a.txt": {"size": 3, "mtime_ns": 1700000000123456789, "ctime_ns": 1700000001000000000, "inode": 42, "sha256": "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"}, "odd": {"sha256": 5}, "b": {"size": 7, "mtime_ns": 1000000002, "ctime_ns": 3000000004, "inode": 5, "sha256": "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"}}})");
}

TEST(cachedoc_writer_leaves_out_entries_without_a_signature) {
    Writer w;
    w.add("gone-1", sig_of(1, 0, 0, 5, 0, 9), kHex);  // no mtime
    w.add("a.txt", kSig, kHex);
    w.add("gone-2", sig_of(1, 5, 0, 5, 0, 0), kHex);  // no inode
    w.add("b", sig_of(7, 1, 2, 3, 4, 5), kHex2);
    w.add("gone-3", Signature{}, kHex);
    CHECK_EQ(w.finish(),
             R"({"version": 1, "entries": {"a.txt": {"size": 3, "mtime_ns": 1700000000123456789, "ctime_ns": 1700000001000000000, "inode": 42, "sha256": "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"}, "b": {"size": 7, "mtime_ns": 1000000002, "ctime_ns": 3000000004, "inode": 5, "sha256": "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"}}})");
    Writer none;
    none.add("gone", Signature{}, kHex);
    CHECK_EQ(none.finish(), R"({"version": 1, "entries": {}})");
}

TEST(cachedoc_writer_pieces_join_to_the_whole_document) {
    const std::vector<std::string> paths = {"a.txt", "sub/b \"q\"", "caf\xc3\xa9", "raw\xff", "x"};
    auto stat_sig = [](std::size_t i) { return sig_of(static_cast<long long>(i), 1, 0, 2, 0, i + 1); };
    Writer whole;
    for (std::size_t i = 0; i < paths.size(); ++i) whole.add(paths[i], stat_sig(i), kHex);
    const std::string want = whole.finish();

    Writer pieces;
    std::vector<std::string> taken = {pieces.take()};
    CHECK_EQ(taken[0], R"({"version": 1, "entries": {)");
    for (std::size_t i = 0; i < paths.size(); ++i) {
        pieces.add(paths[i], stat_sig(i), kHex);
        if (i % 2 == 0) taken.push_back(pieces.take());
    }
    CHECK_EQ(pieces.take(), "");  // nothing added since the last piece
    taken.push_back(pieces.finish());
    CHECK_EQ(taken.back(), "}}");
    // Only the first entry goes without a separator, whichever piece it lands in.
    CHECK_EQ(taken[1].rfind("\"a.txt\": {", 0), 0u);
    CHECK_EQ(taken[2].rfind(", \"sub/b \\\"q\\\"\": {", 0), 0u);
    std::string got;
    for (const std::string& piece : taken) got += piece;
    CHECK_EQ(got, want);
}

TEST(cachedoc_index_finds_what_the_writer_wrote) {
    struct Entry {
        std::string path;
        Signature stat_sig;
        std::string sha;
    };
    const std::vector<Entry> entries = {
        {"a.txt", kSig, std::string(kHex)},
        {"q\"uo\\te", sig_of(9, 1, 1, 1, 1, 1), std::string(kHex2)},
        {"ctl\x01\x08\t\n\x0c\r\x1f\x7f.x", sig_of(1, 2, 3, 4, 5, 6), std::string(kHex)},
        {"caf\xc3\xa9/\xf0\x9f\x98\x80.png", sig_of(2, 3, 4, 5, 6, 7), std::string(kHex2)},
        {"raw\xff\xfe.bin", sig_of(0, 10000000000, 5, -1, 999999999, ULLONG_MAX),
         "\xc3\xa9" + std::string(62, 'a') + "\xf0\x9f\x98\x80"},
        {"\xc3\xa9\xed\xa0\x80\xf0\x9f\x98", sig_of(-1, -5, 0, -6, 0, 3), std::string(kHex)},
        {"a.tx", sig_of(3, 4, 5, 6, 7, 8), std::string(kHex2)},  // a prefix of another path
    };
    Writer w;
    for (const Entry& e : entries) w.add(e.path, e.stat_sig, e.sha);
    w.add("absent", Signature{}, kHex);
    Index ix;
    CHECK(ix.parse(w.finish()));
    CHECK_EQ(ix.size(), entries.size());
    for (const Entry& e : entries) {
        CHECK(hits(ix, e.path, e.stat_sig, e.sha));
        // Any one field changed is a miss.
        Signature s = e.stat_sig;
        s.size += 1;
        CHECK(!ix.hit(e.path, s));
        s = e.stat_sig;
        s.mtime.tv_nsec += 1;
        CHECK(!ix.hit(e.path, s));
        s = e.stat_sig;
        s.mtime.tv_sec += 1;
        CHECK(!ix.hit(e.path, s));
        s = e.stat_sig;
        s.ctime.tv_nsec += 1;
        CHECK(!ix.hit(e.path, s));
        s = e.stat_sig;
        s.inode -= 1;
        CHECK(!ix.hit(e.path, s));
        // The same time split differently is the same nanosecond count.
        s = e.stat_sig;
        s.ctime.tv_sec -= 1;
        s.ctime.tv_nsec += 1000000000;
        CHECK(hits(ix, e.path, s, e.sha));
    }
    CHECK(!ix.hit("absent", Signature{}));
    CHECK(!ix.hit("a.txt", sig_of(3, 0, 0, 1700000001, 0, 42)));  // not present: never a hit
    CHECK(!ix.hit("unknown", kSig));
    CHECK(!ix.hit("a.txt/", kSig));
    CHECK(!ix.hit("", kSig));
    ix.clear();
    CHECK_EQ(ix.size(), 0u);
    CHECK(!ix.hit("a.txt", kSig));
}

TEST(cachedoc_index_holds_many_entries) {
    Writer w;
    const int n = 5000;
    for (int i = 0; i < n; ++i) w.add("dir/file-" + std::to_string(i), sig_of(i, i + 1, 0, 1, 0, 1000 + i), i % 2 ? kHex : kHex2);
    Index ix;
    CHECK(ix.parse(w.finish()));
    CHECK_EQ(ix.size(), static_cast<std::size_t>(n));
    int found = 0;
    for (int i = 0; i < n; ++i) found += hits(ix, "dir/file-" + std::to_string(i), sig_of(i, i + 1, 0, 1, 0, 1000 + i), i % 2 ? kHex : kHex2);
    CHECK_EQ(found, n);
    CHECK(!ix.hit("dir/file-" + std::to_string(n), sig_of(n, n + 1, 0, 1, 0, 1000 + n)));
}

TEST(cachedoc_index_reads_other_layouts_of_the_same_document) {
    const std::string docs[] = {
        kGood,
        kGood + "\n",
        " \t\r\n" + kGood + " \r\n\t",
        // indent=2
        "{\n  \"version\": 1,\n  \"entries\": {\n    \"a.txt\": {\n      \"size\": 3,\n      \"mtime_ns\": "
        "1700000000123456789,\n      \"ctime_ns\": 1700000001000000000,\n      \"inode\": 42,\n      \"sha256\": \"" +
            std::string(kHex) + "\"\n    }\n  }\n}",
        // compact separators, CRLF and tabs
        "{\"version\":1,\"entries\":{\"a.txt\":{\"size\":3,\"mtime_ns\":1700000000123456789,\"ctime_ns\":"
        "1700000001000000000,\"inode\":42,\"sha256\":\"" +
            std::string(kHex) + "\"}}}",
        "{\r\n\t\"entries\"\t:\r\n{\"a.txt\"\n:\n{\"sha256\" : \"" + std::string(kHex) +
            "\" , \"inode\":42,\"ctime_ns\":1700000001000000000,\"mtime_ns\":1700000000123456789,\"size\":3}\r\n}\r\n}",
        // other members at the top and in the entry, an escaped key and "\/"
        R"({"meta": {"by": "x\/y", "n": -1}, "version": 1, "entries": {"\u0061.txt": {"mode": 420, "note": "\ud83d\ude00", "size": 3, "mtime_ns": 1700000000123456789, "ctime_ns": 1700000001000000000, "inode": 42, "sha256": ")" +
            std::string(kHex) + R"("}}, "later": "\u00E9"})",
        // duplicate members: the last counts
        one_entry(sub(kBody, R"("size": 3)", R"("size": 9, "size": "3", "size": 3)")),
        one_entry(sub(kBody, R"("inode": 42)", R"("inode": "42", "inode": 42)")),
        one_entry(sub(kBody, R"("sha256": )", R"("sha256": 5, "sha256": "short", "sha256": )")),
    };
    for (const std::string& doc : docs) {
        Index ix;
        const bool parsed = ix.parse(doc);
        if (!parsed || !hits(ix, "a.txt", kSig, kHex)) std::fprintf(stderr, "  not read: %s\n", doc.c_str());
        CHECK(parsed);
        CHECK(hits(ix, "a.txt", kSig, kHex));
    }
    Index ix;
    // DEL is no control character to json.loads.
    CHECK(ix.parse(sub(kGood, "a.txt", "a\x7f.txt")));
    CHECK(hits(ix, "a\x7f.txt", kSig, kHex));
    CHECK(ix.parse("{}"));
    CHECK_EQ(ix.size(), 0u);
    CHECK(ix.parse(R"({"version": 1})"));
    CHECK_EQ(ix.size(), 0u);
    CHECK(ix.parse(R"({"version": 1, "entries": 5})"));  // json.loads reads it; it holds no entry
    CHECK_EQ(ix.size(), 0u);
}

TEST(cachedoc_index_declines_text_outside_its_subset) {
    const std::string declined[] = {
        // floats and exponents anywhere
        one_entry(sub(kBody, R"("size": 3)", R"("size": 3.0)")),
        one_entry(sub(kBody, R"("inode": 42)", R"("inode": 4.2e1)")),
        one_entry(sub(kBody, R"("inode": 42)", R"("inode": 42e0)")),
        one_entry(sub(kBody, R"("inode": 42)", R"("inode": 42E+0)")),
        one_entry(sub(kBody, R"("size": 3)", R"("size": -3.5)")),
        one_entry(sub(kBody, R"("size": 3)", R"("mode": 1.5, "size": 3)")),
        sub(kGood, R"("version": 1)", R"("version": 1.0)"),
        sub(kGood, R"("version": 1)", R"("version": 5.0)"),
        // other values json.loads reads but a written document never has
        one_entry(sub(kBody, R"("size": 3)", R"("size": true)")),  // json: True == 1
        one_entry(sub(kBody, R"("size": 3)", R"("size": null)")),
        one_entry(sub(kBody, R"("size": 3)", R"("size": [3])")),
        one_entry(sub(kBody, R"("size": 3)", R"("size": {"n": 3})")),
        one_entry(sub(kBody, R"("size": 3)", R"("size": false, "size": 3)")),
        sub(kGood, R"("version": 1)", R"("version": [1])"),
        sub(kGood, R"("version": 1)", R"("version": {"a": {"b": 1}})"),
        // not JSON
        one_entry(sub(kBody, R"("size": 3)", R"("size": 03)")),
        one_entry(sub(kBody, R"("size": 3)", R"("size": -)")),
        one_entry(sub(kBody, R"("size": 3)", R"("size": +3)")),
        one_entry(sub(kBody, R"("size": 3)", R"('size': 3)")),
        one_entry(sub(kBody, R"("size": 3,)", R"("size": 3,,)")),
        one_entry(sub(kBody, R"("size": 3)", R"("size" 3)")),
        sub(kGood, "}}}", "},}}"),
        "",
        "   ",
        "[]",
        "1",
        R"("text")",
        // trailing garbage
        kGood + "x",
        kGood + " {}",
        kGood + ",",
        kGood + std::string(1, '\0'),
        // invalid UTF-8, raw control characters and bad escapes inside strings
        sub(kGood, "a.txt", "a\xff.txt"),
        sub(kGood, "a.txt", "a\xc0\xaf.txt"),          // overlong
        sub(kGood, "a.txt", "a\xed\xa0\x80.txt"),      // an encoded surrogate
        sub(kGood, "a.txt", "a\xf4\x90\x80\x80.txt"),  // above U+10FFFF
        sub(kGood, "a.txt", "a.txt\xc3"),              // cut short
        sub(kGood, "a.txt", "a\xe2\x82.txt"),
        sub(kGood, std::string(kHex).substr(0, 2), "\xfe"),
        sub(kGood, "a.txt", "a\t.txt"),
        sub(kGood, "a.txt", "a\n.txt"),
        sub(kGood, "a.txt", "a\x01n.txt"),  // not an escape without its backslash
        sub(kGood, "a.txt", "a\x1f\".txt"),
        sub(kGood, "a.txt", "a\\x41.txt"),
        sub(kGood, "a.txt", "a\\u12.txt"),
        sub(kGood, "a.txt", "a\\u12g4.txt"),
        sub(kGood, "a.txt", "a\\ud800\\u12g4.txt"),
        // a lone surrogate in a value
        sub(kGood, std::string(kHex).substr(0, 2), "\\ud800"),
        sub(kGood, std::string(kHex).substr(0, 2), "\\udcff"),
    };
    for (const std::string& doc : declined) {
        Index ix;
        CHECK(ix.parse(kGood));
        const bool parsed = ix.parse(doc);
        if (parsed) std::fprintf(stderr, "  read: %s\n", doc.c_str());
        CHECK(!parsed);
        CHECK_EQ(ix.size(), 0u);
        CHECK(!ix.hit("a.txt", kSig));
    }
    // Every cut-short document is declined.
    Index ix;
    int read = 0;
    for (std::size_t n = 0; n < kGood.size(); ++n) read += ix.parse(std::string_view(kGood).substr(0, n));
    CHECK_EQ(read, 0);
    CHECK_EQ(ix.size(), 0u);
}

TEST(cachedoc_index_keeps_entries_that_can_never_match) {
    const std::string bodies[] = {
        R"("x")",
        "5",
        "{}",
        sub(kBody, R"("size": 3)", R"("size": "3")"),
        sub(kBody, R"("size": 3)", R"("size": 3, "size": "3")"),
        sub(kBody, R"("ctime_ns": 1700000001000000000, )", ""),
        sub(kBody, R"("size": 3, )", ""),
        sub(kBody, R"(, "sha256": ")" + std::string(kHex) + "\"", ""),
        sub(kBody, kHex, kHex.substr(1)),                 // 63 characters
        sub(kBody, kHex, std::string(kHex) + "0"),        // 65
        sub(kBody, "\"" + std::string(kHex) + "\"", "5"),  // not a string
        sub(kBody, "\"" + std::string(kHex) + "\"", "\"\""),
        sub(kBody, "\"" + std::string(kHex) + "\"", "\"" + std::string(kHex) + "\", \"sha256\": 7"),
        sub(kBody, kHex, std::string(63, 'a') + "\\ud83d\\ude00\\ud83d\\ude00"),  // 65 code points
    };
    for (const std::string& body : bodies) {
        Index ix;
        CHECK(ix.parse(one_entry(body)));
        CHECK_EQ(ix.size(), 1u);
        const bool hit = ix.hit("a.txt", kSig).has_value();
        if (hit) std::fprintf(stderr, "  hit: %s\n", body.c_str());
        CHECK(!hit);
    }
}

TEST(cachedoc_index_gives_back_any_64_character_hash_as_stored) {
    std::string upper(kHex);
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    struct Case {
        std::string json, stored;
    };
    const Case cases[] = {
        {upper, upper},
        {std::string(64, 'z'), std::string(64, 'z')},
        {"\\u00e9" + std::string(62, 'a') + "\\ud83d\\ude00", "\xc3\xa9" + std::string(62, 'a') + "\xf0\x9f\x98\x80"},
        {"\xc3\xa9" + std::string(62, 'a') + "\xf0\x9f\x98\x80", "\xc3\xa9" + std::string(62, 'a') + "\xf0\x9f\x98\x80"},
        {"\\u0062" + std::string(kHex.substr(1)), std::string(kHex)},
        {std::string(62, ' ') + "\\\"\\n", std::string(62, ' ') + "\"\n"},
    };
    for (const Case& c : cases) {
        Index ix;
        CHECK(ix.parse(one_entry(sub(kBody, kHex, c.json))));
        CHECK(hits(ix, "a.txt", kSig, c.stored));
    }
}

TEST(cachedoc_index_keeps_the_last_of_a_repeated_key) {
    const std::string first = sub(kBody, R"("size": 3)", R"("size": 1)");
    const std::string doc = R"({"version": 1, "entries": {"a.txt": )" + first + R"(, "b": )" + kBody + R"(, "a.txt": )" +
                            sub(kBody, kHex, kHex2) + "}}";
    Index ix;
    CHECK(ix.parse(doc));
    CHECK_EQ(ix.size(), 2u);
    CHECK(hits(ix, "a.txt", kSig, kHex2));
    CHECK(!ix.hit("a.txt", sig_of(1, 1700000000, 123456789, 1700000001, 0, 42)));
    CHECK(hits(ix, "b", kSig, kHex));

    // A usable entry followed by an unusable one for the same key never matches.
    CHECK(ix.parse(R"({"version": 1, "entries": {"a.txt": )" + kBody + R"(, "a.txt": "gone"}})"));
    CHECK(!ix.hit("a.txt", kSig));
    CHECK(ix.parse(R"({"version": 1, "entries": {"a.txt": )" + kBody + R"(, "a.txt": )" +
                   sub(kBody, R"("inode": 42, )", "") + "}}"));
    CHECK(!ix.hit("a.txt", kSig));

    // So does "entries" itself.
    CHECK(ix.parse(R"({"entries": {"a.txt": )" + kBody + R"(}, "version": 1, "entries": {"b": )" + kBody + "}}"));
    CHECK_EQ(ix.size(), 1u);
    CHECK(!ix.hit("a.txt", kSig));
    CHECK(hits(ix, "b", kSig, kHex));
    CHECK(ix.parse(kGood.substr(0, kGood.size() - 1) + R"(, "entries": "none"})"));
    CHECK_EQ(ix.size(), 0u);
    CHECK(!ix.hit("a.txt", kSig));
}

TEST(cachedoc_index_tells_names_with_a_lone_surrogate_from_plain_ones) {
    // "\ud800entries" and "\ud800size" are other names than "entries" and "size".
    Index ix;
    CHECK(ix.parse(R"({"version": 1, "\ud800entries": {"a.txt": "x"}})"));
    CHECK_EQ(ix.size(), 0u);
    CHECK(ix.parse(kGood.substr(0, kGood.size() - 1) + R"(, "entr\ud800ies": {}})"));
    CHECK(hits(ix, "a.txt", kSig, kHex));
    CHECK(ix.parse(one_entry(sub(kBody, R"("size": 3)", R"("\ud800size": 3)"))));
    CHECK(!ix.hit("a.txt", kSig));
    CHECK(ix.parse(one_entry(sub(kBody, R"("size": 3)", R"("size": 3, "si\udbffze": "3")"))));
    CHECK(hits(ix, "a.txt", kSig, kHex));
}

TEST(cachedoc_index_maps_escaped_keys_to_file_system_bytes) {
    // Each key gets its own hash so that a lookup that lands on the wrong entry shows.
    const std::string shas[] = {std::string(64, '1'), std::string(64, '2'), std::string(64, '3'), std::string(64, '4'),
                                std::string(64, '5'), std::string(64, '6'), std::string(64, '7'), std::string(64, '8'),
                                std::string(64, '9')};
    const char* keys[] = {
        R"(raw\udcff\udcfe.bin)",  // bytes that are not UTF-8
        R"(\u00e9)",               // é
        R"(\udcc3\udca9)",         // escaped bytes that are UTF-8 for é: no path decodes to it
        R"(\ud83d\ude00)",         // a pair
        R"(\ud800)",               // a lone high surrogate
        R"(x\udc41)",              // a surrogate for an ASCII byte
        R"(\udcc3\u00a9)",         // an escaped byte before a real character
        R"(\ud800\u0041)",         // a high surrogate before a non-surrogate escape
        R"(\uDCFF\u00E9)",         // upper-case hex digits
    };
    std::string doc = R"({"version": 1, "entries": {)";
    for (std::size_t i = 0; i < std::size(keys); ++i) {
        if (i) doc += ", ";
        doc += "\"" + std::string(keys[i]) + "\": " + sub(kBody, kHex, shas[i]);
    }
    doc += "}}";
    Index ix;
    CHECK(ix.parse(doc));
    CHECK(hits(ix, "raw\xff\xfe.bin", kSig, shas[0]));
    CHECK(hits(ix, "\xc3\xa9", kSig, shas[1]));
    CHECK(hits(ix, "\xf0\x9f\x98\x80", kSig, shas[3]));
    CHECK(hits(ix, "\xc3\xc2\xa9", kSig, shas[6]));
    CHECK(hits(ix, "\xff\xc3\xa9", kSig, shas[8]));
    // Keys no file-system path decodes to are never hit, whatever bytes are asked for.
    const std::string_view never[] = {"\xed\xa0\x80", "", "xA", "x", "A", "\xed\xa0\x80" "A", "\xc3\xa9\xc3\xa9"};
    for (std::string_view path : never) CHECK(!ix.hit(path, kSig));
    CHECK_EQ(ix.size(), 5u);
}
