#include "core/cachedoc.hpp"

#include <array>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <functional>
#include <utility>

#include "core/glob.hpp"
#include "core/hex_digit.hpp"
#include "core/utf8.hpp"

namespace brivel::cachedoc {
namespace {

// Bytes copied as they are inside a JSON string: printable ASCII but '"' and '\\'.
constexpr std::array<bool, 256> kPlain = [] {
    std::array<bool, 256> t{};
    for (int c = 0x20; c < 0x80; ++c) t[c] = c != '"' && c != '\\';
    return t;
}();

// Bytes a path may hold for the writer's fast path: printable ASCII but '"' and '\\'
// (json escapes DEL, which the reader accepts as it is).
constexpr std::array<bool, 256> kVerbatim = [] {
    std::array<bool, 256> t{};
    for (int c = 0x20; c < 0x7F; ++c) t[c] = c != '"' && c != '\\';
    return t;
}();

inline bool is_ws(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// The value of four hex digits at p, or -1.
long hex4(const char* p) {
    long v = 0;
    for (int i = 0; i < 4; ++i) {
        int d = hex::digit(static_cast<unsigned char>(p[i]));
        if (d < 0) return -1;
        v = (v << 4) | d;
    }
    return v;
}

void put_int(std::string& out, __int128 v) {
    if (v >= INT64_MIN && v <= INT64_MAX) {  // all but times past 2262: 64-bit digits are far cheaper
        char buf[24];
        const auto r = std::to_chars(buf, buf + sizeof buf, static_cast<std::int64_t>(v));
        out.append(buf, r.ptr);
        return;
    }
    char buf[48];
    char* e = buf + sizeof buf;
    char* p = e;
    const bool neg = v < 0;
    unsigned __int128 u = neg ? -static_cast<unsigned __int128>(v) : static_cast<unsigned __int128>(v);
    do {
        *--p = static_cast<char>('0' + static_cast<int>(u % 10));
        u /= 10;
    } while (u);
    if (neg) *--p = '-';
    out.append(p, e);
}

std::size_t hash_key(std::string_view key) { return std::hash<std::string_view>{}(key); }

// The members of an entry, in the order the writer puts them.
enum Member { kSize, kMtime, kCtime, kInode, kSha, kOther };

Member member_of(std::string_view name) {
    switch (name.size()) {
        case 4: return name == "size" ? kSize : kOther;
        case 5: return name == "inode" ? kInode : kOther;
        case 6: return name == "sha256" ? kSha : kOther;
        case 8: return name == "mtime_ns" ? kMtime : name == "ctime_ns" ? kCtime : kOther;
        default: return kOther;
    }
}

}  // namespace

__int128 nanoseconds(const struct timespec& t) {
    return static_cast<__int128>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

bool Signature::present() const { return nanoseconds(mtime) != 0 && inode != 0; }

Signature signature_of(const struct stat& st) {
    Signature stat_sig;
    stat_sig.size = static_cast<long long>(st.st_size);
    stat_sig.mtime = st.st_mtim;
    stat_sig.ctime = st.st_ctim;
    stat_sig.inode = static_cast<unsigned long long>(st.st_ino);
    return stat_sig;
}

Members members_of(const Signature& stat_sig) {
    return {stat_sig.size, nanoseconds(stat_sig.mtime), nanoseconds(stat_sig.ctime), static_cast<__int128>(stat_sig.inode)};
}

void put_string(std::string& out, std::u32string_view s) {
    put_chars(out, s.size(), [&](std::size_t i) { return s[i]; });
}

void put_path(std::string& out, std::string_view fs_bytes) {
    // Nearly every path is plain ASCII, written as it stands.
    std::size_t i = 0;
    while (i < fs_bytes.size() && kVerbatim[static_cast<unsigned char>(fs_bytes[i])]) ++i;
    if (i == fs_bytes.size()) {
        out += '"';
        out += fs_bytes;
        out += '"';
        return;
    }
    glob::Text text;
    glob::decode_fs(fs_bytes, text);
    put_string(out, text);
}

// One pass over the document. Every string is decoded into a scratch buffer that keeps its
// capacity, so the pass allocates per entry at most, never per character.
class Index::Parser {
  public:
    Parser(Index& index, std::string_view text)
        : ix_(index), p_(text.data()), end_(text.data() + text.size()) {}

    bool document() {
        ws();
        if (!eat('{')) return false;
        ws();
        if (!eat('}')) {
            for (;;) {
                ws();
                if (!key_string(name_) || !colon()) return false;
                if (!(name_.text == "entries" && !name_.fails ? entries_value() : other_value()))
                    return false;
                ws();
                if (eat(',')) continue;
                if (eat('}')) break;
                return false;
            }
        }
        ws();
        return p_ == end_;
    }

  private:
    struct Decoded {
        std::string text;                // UTF-8; for a key, lone U+DC80..U+DCFF as their byte
        std::size_t code_points = 0;
        bool fails = false;              // a key no file-system path decodes to
    };

    Index& ix_;
    const char* p_;
    const char* end_;
    Decoded name_, key_, value_;
    glob::Text check_;

    void ws() {
        while (p_ < end_ && is_ws(*p_)) ++p_;
    }
    bool eat(char c) {
        if (p_ < end_ && *p_ == c) {
            ++p_;
            return true;
        }
        return false;
    }
    bool colon() {
        ws();
        if (!eat(':')) return false;
        ws();
        return true;
    }

    bool key_string(Decoded& d) { return string(d, true); }
    bool value_string(Decoded& d) { return string(d, false); }

    // A string at p_ (its opening quote). A key keeps a lone surrogate U+DC80..U+DCFF as
    // the byte it stands for, as the file-system encoding does, and marks any other lone
    // surrogate as failing; a value with a lone surrogate is declined.
    bool string(Decoded& d, bool key) {
        if (!eat('"')) return false;
        d.text.clear();
        d.code_points = 0;
        d.fails = false;
        std::size_t run = std::string::npos;  // start of the current run of escaped bytes
        auto end_run = [&] {
            if (run == std::string::npos) return;
            // Escaped bytes that form a valid UTF-8 sequence would decode to another
            // string: no path gives this key.
            check_.clear();
            glob::decode_fs(std::string_view(d.text).substr(run), check_);
            if (check_.size() != d.text.size() - run) d.fails = true;
            run = std::string::npos;
        };
        for (;;) {
            const char* q = p_;
            while (q < end_ && kPlain[static_cast<unsigned char>(*q)]) ++q;
            if (q != p_) {
                end_run();
                d.text.append(p_, q);
                d.code_points += static_cast<std::size_t>(q - p_);
                p_ = q;
            }
            if (p_ == end_) return false;
            const unsigned char c = static_cast<unsigned char>(*p_);
            if (c == '"') {
                ++p_;
                end_run();
                return true;
            }
            if (c < 0x20) return false;
            if (c >= 0x80) {
                const std::size_t n = utf8::sequence_length(reinterpret_cast<const unsigned char*>(p_),
                                                            reinterpret_cast<const unsigned char*>(end_));
                if (!n) return false;
                end_run();
                d.text.append(p_, n);
                ++d.code_points;
                p_ += n;
                continue;
            }
            // a backslash
            if (end_ - p_ < 2) return false;
            char32_t cp;
            switch (p_[1]) {
                case '"': cp = '"'; break;
                case '\\': cp = '\\'; break;
                case '/': cp = '/'; break;
                case 'b': cp = '\b'; break;
                case 'f': cp = '\f'; break;
                case 'n': cp = '\n'; break;
                case 'r': cp = '\r'; break;
                case 't': cp = '\t'; break;
                case 'u': {
                    if (end_ - p_ < 6) return false;
                    long v = hex4(p_ + 2);
                    if (v < 0) return false;
                    cp = static_cast<char32_t>(v);
                    break;
                }
                default: return false;
            }
            p_ += p_[1] == 'u' ? 6 : 2;
            if (cp >= 0xD800 && cp <= 0xDBFF && end_ - p_ >= 6 && p_[0] == '\\' && p_[1] == 'u') {
                // json joins a high surrogate with a low one escaped right after it; a bad
                // second escape is an error there too.
                long lo = hex4(p_ + 2);
                if (lo < 0) return false;
                if (lo >= 0xDC00 && lo <= 0xDFFF) {
                    cp = 0x10000 + ((cp - 0xD800) << 10) + (static_cast<char32_t>(lo) - 0xDC00);
                    p_ += 6;
                }
            }
            ++d.code_points;
            if (cp >= 0xD800 && cp <= 0xDFFF) {
                if (!key) return false;
                if (cp >= 0xDC80 && cp <= 0xDCFF) {
                    if (run == std::string::npos) run = d.text.size();
                    d.text += static_cast<char>(cp - 0xDC00);
                } else {
                    d.fails = true;
                }
                continue;
            }
            end_run();
            utf8::append(d.text, cp);
        }
    }

    // An integer without fraction or exponent, at most 38 digits.
    bool integer(__int128& out) {
        const bool neg = eat('-');
        const char* start = p_;
        __int128 v = 0;
        while (p_ < end_ && *p_ >= '0' && *p_ <= '9') {
            if (p_ - start == 38) return false;
            v = v * 10 + (*p_ - '0');
            ++p_;
        }
        const std::ptrdiff_t digits = p_ - start;
        if (digits == 0 || (digits > 1 && *start == '0')) return false;
        if (p_ < end_ && (*p_ == '.' || *p_ == 'e' || *p_ == 'E')) return false;
        out = neg ? -v : v;
        return true;
    }

    bool is_integer_start() const { return p_ < end_ && (*p_ == '-' || (*p_ >= '0' && *p_ <= '9')); }

    // A string or an integer, its value unused.
    bool scalar() {
        if (p_ < end_ && *p_ == '"') return value_string(value_);
        __int128 ignored;
        return is_integer_start() && integer(ignored);
    }

    // A top-level member other than "entries": a scalar or an object of scalars.
    bool other_value() {
        if (!eat('{')) return scalar();
        return object([&] { return scalar(); });
    }

    // The members of an object whose '{' has been read, each value read by `value` with
    // p_ at its first character.
    template <class Value>
    bool object(Value value) {
        ws();
        if (eat('}')) return true;
        for (;;) {
            ws();
            if (!key_string(name_) || !colon() || !value()) return false;
            ws();
            if (eat(',')) continue;
            return eat('}');
        }
    }

    bool entries_value() {
        // json keeps the last "entries"; one that is not an object leaves no cache.
        ix_.reset_entries();
        if (!eat('{')) return scalar();
        Entry dropped;
        return object([&] {
            Entry& e = name_.fails ? dropped : ix_.upsert(name_.text);
            return entry(e);
        });
    }

    // One entry's value; duplicate members keep the last, as json does.
    bool entry(Entry& e) {
        e.usable = false;
        if (!eat('{')) return scalar();  // not an object: never matches
        bool have[5] = {};
        bool sha_ok = false;
        bool ok = object([&] {
            const Member m = name_.fails ? kOther : member_of(name_.text);
            if (p_ < end_ && *p_ == '"') {
                if (!value_string(value_)) return false;
                if (m == kSha) {
                    sha_ok = value_.code_points == 64;
                    if (sha_ok) e.sha = ix_.text_.add(value_.text);
                    have[kSha] = true;
                } else if (m != kOther) {
                    have[m] = false;  // a string never equals an int
                }
                return true;
            }
            __int128 v;
            if (!is_integer_start() || !integer(v)) return false;
            switch (m) {
                case kSize: e.size = v; break;
                case kMtime: e.mtime = v; break;
                case kCtime: e.ctime = v; break;
                case kInode: e.inode = v; break;
                case kSha: sha_ok = false; break;  // str() of an int this short is not 64 long
                case kOther: return true;
            }
            if (m != kSha) have[m] = true;
            return true;
        });
        if (!ok) return false;
        e.usable = have[kSize] && have[kMtime] && have[kCtime] && have[kInode] && have[kSha] && sha_ok;
        return true;
    }
};

bool Index::parse(std::string_view text) {
    clear();
    Parser parser(*this, text);
    if (parser.document()) return true;
    clear();
    return false;
}

void Index::reset_entries() {
    text_.clear();
    entries_.clear();
    slots_.reset();
}

void Index::clear() {
    text_.clear();
    entries_.clear();
    slots_.clear();
}

const Index::Entry* Index::find(std::string_view key, std::size_t hash) const {
    const auto at = slots_.find(hash, [&](std::uint32_t k) { return entries_[k].key == key; });
    return at ? &entries_[*at] : nullptr;
}

Index::Entry& Index::upsert(std::string_view key) {
    const std::size_t hash = hash_key(key);
    if (Entry* e = const_cast<Entry*>(find(key, hash))) return *e;
    Entry& e = entries_.emplace_back();
    e.key = text_.add(key);
    e.hash = hash;
    slots_.append(hash);
    return e;
}

std::optional<std::string_view> Index::hit(std::string_view path, const Signature& stat_sig) const {
    if (!stat_sig.present()) return std::nullopt;
    const Entry* e = find(path, hash_key(path));
    if (!e || !e->usable) return std::nullopt;
    if (Members{e->size, e->mtime, e->ctime, e->inode} != members_of(stat_sig)) return std::nullopt;
    return e->sha;
}

Writer::Writer() : out_("{\"version\": 1, \"entries\": {") {}

void Writer::add(std::string_view path, const Signature& stat_sig, std::string_view sha_utf8) {
    if (!stat_sig.present()) return;
    add([&](std::string& out) { put_path(out, path); }, members_of(stat_sig),
        [&](std::string& out) { put_path(out, sha_utf8); });
}

void Writer::next() {
    if (!first_) out_ += ", ";
    first_ = false;
}

void Writer::put_members(const Members& m) {
    out_ += ": {\"size\": ";
    put_int(out_, m.size);
    out_ += ", \"mtime_ns\": ";
    put_int(out_, m.mtime_ns);
    out_ += ", \"ctime_ns\": ";
    put_int(out_, m.ctime_ns);
    out_ += ", \"inode\": ";
    put_int(out_, m.inode);
    out_ += ", \"sha256\": ";
}

std::string Writer::take() { return std::exchange(out_, std::string()); }

std::string Writer::finish() {
    out_ += "}}";
    first_ = true;
    return std::move(out_);
}

}  // namespace brivel::cachedoc
