// The hash-cache document, {"version": 1, "entries": {"<path>": {"size": N, "mtime_ns": N,
// "ctime_ns": N, "inode": N, "sha256": "<hex>"}, ...}}, read and written without Python
// objects. The writer produces exactly the text json.dumps gives; the reader accepts the
// subset of JSON such a document uses and answers lookups as the interpreter's json.loads
// followed by the entry check would. Anything outside that subset is declined, and the
// caller treats the cache as empty, which is always safe.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/arena.hpp"
#include "core/hash_index.hpp"

namespace brivel::cachedoc {

// The stat signature of a file: the stat values its cache entry is checked against.
struct Signature {
    long long size = 0;
    struct timespec mtime {}, ctime {};
    unsigned long long inode = 0;
    // Python's rule: no signature when mtime is zero (both fields) or inode is 0.
    bool present() const;
};

Signature signature_of(const struct stat& st);

// tv_sec * 10**9 + tv_nsec, exact also past 2262 where it no longer fits 64 bits.
__int128 nanoseconds(const struct timespec& t);

// An entry's four signature members as the document holds them: size, mtime_ns, ctime_ns,
// inode, in that order.
struct Members {
    __int128 size = 0, mtime_ns = 0, ctime_ns = 0, inode = 0;
    bool operator==(const Members&) const = default;
};

Members members_of(const Signature& stat_sig);

// Appends the JSON text of a string of `n` code points, `at(i)` giving the i-th, as
// json.dumps(ensure_ascii=True) writes it: printable ASCII as is except '"' and '\\',
// the short escapes \b \f \n \r \t, every other code point as \uXXXX in lower-case hex,
// above U+FFFF as a surrogate pair.
template <class At>
void put_chars(std::string& out, std::size_t n, At at) {
    static constexpr char hexd[] = "0123456789abcdef";
    auto u = [&](char32_t v) {
        char e[6] = {'\\', 'u', hexd[(v >> 12) & 0xF], hexd[(v >> 8) & 0xF], hexd[(v >> 4) & 0xF], hexd[v & 0xF]};
        out.append(e, 6);
    };
    out += '"';
    for (std::size_t i = 0; i < n; ++i) {
        const char32_t c = at(i);
        if (c >= ' ' && c <= '~' && c != '\\' && c != '"') {
            out += static_cast<char>(c);
            continue;
        }
        switch (c) {
            case '\\': out += "\\\\"; break;
            case '"': out += "\\\""; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c >= 0x10000) {
                    const char32_t v = c - 0x10000;
                    u(0xD800 | ((v >> 10) & 0x3FF));
                    u(0xDC00 | (v & 0x3FF));
                } else {
                    u(c);
                }
        }
    }
    out += '"';
}

// Appends `s` (code points) to `out` as json.dumps(ensure_ascii=True) writes a str.
void put_string(std::string& out, std::u32string_view s);
// The same for file-system bytes, decoded as the interpreter does (UTF-8, each byte of an
// invalid sequence as a lone surrogate U+DC80..U+DCFF).
void put_path(std::string& out, std::string_view fs_bytes);

// Entries of a parsed document, keyed by the file-system bytes of their path.
class Index {
  public:
    // Parses the document (the file's bytes). Returns false, leaving the index empty, when
    // the text is not in the subset read natively; true otherwise.
    bool parse(std::string_view text);
    // The stored sha256 text (UTF-8) of the entry for `path` when it matches `sig`; the
    // view lives as long as the index.
    std::optional<std::string_view> hit(std::string_view path, const Signature& stat_sig) const;
    // The number of paths with an entry (also those whose entry can never match).
    std::size_t size() const { return entries_.size(); }
    void clear();  // frees the memory

  private:
    struct Entry {
        std::string_view key, sha;  // in text_
        std::size_t hash = 0;
        bool usable = false;  // an object with the four integers and a 64-character hash
        __int128 size = 0, mtime = 0, ctime = 0, inode = 0;
    };
    class Parser;

    // Keys and hashes, and the entries, in blocks that never move: growing the index copies
    // neither, so the build's memory peak stays near the index's own size.
    arena::Bytes text_;
    arena::Stable<Entry> entries_;
    struct EntryHash {
        const arena::Stable<Entry>* entries;
        std::size_t operator()(std::uint32_t k) const { return (*entries)[k].hash; }
    };
    hash_index::HashIndex<EntryHash> slots_{EntryHash{&entries_}};  // the entries by key

    const Entry* find(std::string_view key, std::size_t hash) const;
    Entry& upsert(std::string_view key);
    void reset_entries();
};

// Builds the document text in the order entries are added; the caller adds each key once.
class Writer {
  public:
    Writer();  // starts {"version": 1, "entries": {
    // Adds the entry of `path` (file-system bytes). A signature that is not present gives no
    // entry, as the interpreter's build writes none for such a file.
    void add(std::string_view path, const Signature& stat_sig, std::string_view sha_utf8);
    // Adds an entry whose key and hash the caller appends as JSON strings (put_chars):
    // `key(out)`, then the members, then `sha(out)`.
    template <class Key, class Sha>
    void add(Key key, const Members& m, Sha sha) {
        next();
        key(out_);
        put_members(m);
        sha(out_);
        out_ += '}';
    }
    // Adds an entry whose value the caller has as JSON text already (`key(out)` as above).
    template <class Key>
    void add_value(Key key, std::string_view value_json) {
        next();
        key(out_);
        out_ += ": ";
        out_ += value_json;
    }
    // The text not yet handed over, and the text itself: handed over to be written out,
    // the writer goes on from empty.
    std::size_t pending() const { return out_.size(); }
    std::string take();
    // Closes the document and hands over the rest. The pieces together are byte-identical
    // to json.dumps({"version": 1, "entries": {...}}).
    std::string finish();

  private:
    std::string out_;
    bool first_ = true;

    void next();                            // the separator before an entry
    void put_members(const Members& m);     // `: {"size": N, ... "sha256": `
};

}  // namespace brivel::cachedoc
