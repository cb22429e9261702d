#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "check.hpp"
#include "core/zip_writer.hpp"

using namespace brivel;

namespace {

std::uint64_t le(const std::string& s, std::size_t at, int n) {
    std::uint64_t v = 0;
    for (int i = n - 1; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(s[at + static_cast<std::size_t>(i)]);
    return v;
}

std::string inflate_raw(const std::string& in, std::size_t size) {
    std::string out(size, '\0');
    z_stream z{};
    inflateInit2(&z, -15);
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
    z.avail_in = static_cast<uInt>(in.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    int rc = inflate(&z, Z_FINISH);
    inflateEnd(&z);
    return rc == Z_STREAM_END && z.avail_out == 0 ? out : std::string("<inflate failed>");
}

zipw::Member member(const std::string& name, const std::string& data, std::int64_t mtime = 1700000000) {
    zipw::Deflater d;
    zipw::Member m;
    d.begin(m, data.size());
    d.feed(data.data(), data.size());
    d.finish();
    m.name = name;
    m.mtime = mtime;
    return m;
}

std::string bytes_of(zipw::Archive& a) {
    std::string out(a.finish(), '\0');
    a.write_to(reinterpret_cast<unsigned char*>(out.data()));
    return out;
}

// What a reader sees through the central directory.
struct Entry {
    std::string name;
    std::uint64_t csize, size, offset;
    std::uint32_t crc, external, flags, version;
    std::string data;
};

std::vector<Entry> read_archive(const std::string& z, bool& ok) {
    ok = false;
    std::vector<Entry> out;
    if (z.size() < 22) return out;
    std::size_t end = z.size() - 22;
    if (le(z, end, 4) != 0x06054b50) return out;
    std::uint64_t count = le(z, end + 10, 2), cd = le(z, end + 16, 4);
    if (cd == 0xFFFFFFFF || count == 0xFFFF) {
        std::size_t loc = end - 20;
        if (le(z, loc, 4) != 0x07064b50) return out;
        std::size_t rec = le(z, loc + 8, 8);
        if (le(z, rec, 4) != 0x06064b50) return out;
        count = le(z, rec + 32, 8);
        cd = le(z, rec + 48, 8);
    }
    std::size_t p = cd;
    for (std::uint64_t i = 0; i < count; ++i) {
        if (le(z, p, 4) != 0x02014b50) return out;
        Entry e;
        e.version = static_cast<std::uint32_t>(le(z, p + 4, 2));  // made by
        e.flags = static_cast<std::uint32_t>(le(z, p + 8, 2));
        e.crc = static_cast<std::uint32_t>(le(z, p + 16, 4));
        e.csize = le(z, p + 20, 4);
        e.size = le(z, p + 24, 4);
        std::size_t n = le(z, p + 28, 2), x = le(z, p + 30, 2);
        e.external = static_cast<std::uint32_t>(le(z, p + 38, 4));
        e.offset = le(z, p + 42, 4);
        e.name = z.substr(p + 46, n);
        std::size_t q = p + 46 + n;
        if (x >= 4 && le(z, q, 2) == 1) {
            q += 4;
            if (e.size == 0xFFFFFFFF) e.size = le(z, q, 8), q += 8;
            if (e.csize == 0xFFFFFFFF) e.csize = le(z, q, 8), q += 8;
            if (e.offset == 0xFFFFFFFF) e.offset = le(z, q, 8), q += 8;
        }
        p += 46 + n + x;
        std::size_t h = e.offset;
        if (le(z, h, 4) != 0x04034b50 || z.substr(h + 30, le(z, h + 26, 2)) != e.name) return out;
        std::size_t data = h + 30 + le(z, h + 26, 2) + le(z, h + 28, 2);
        e.data = inflate_raw(z.substr(data, e.csize), e.size);
        out.push_back(e);
    }
    ok = true;
    return out;
}

struct TempDir {
    std::string path;
    TempDir() {
        char tmpl[] = "/tmp/zipw-XXXXXX";
        path = ::mkdtemp(tmpl);
    }
    ~TempDir() { std::system(("rm -rf '" + path + "'").c_str()); }
    std::string at(const std::string& rel) const { return path + "/" + rel; }
    void file(const std::string& rel, const std::string& data) const {
        FILE* f = std::fopen(at(rel).c_str(), "wb");
        std::fwrite(data.data(), 1, data.size(), f);
        std::fclose(f);
    }
    void dir(const std::string& rel) const { ::mkdir(at(rel).c_str(), 0755); }
};

std::vector<std::string> names(const std::vector<Entry>& es) {
    std::vector<std::string> out;
    for (const Entry& e : es) out.push_back(e.name);
    return out;
}

}  // namespace

TEST(zip_members_round_trip_with_crc_and_attributes) {
    std::string big(300000, 'x');
    for (std::size_t i = 0; i < big.size(); i += 7) big[i] = static_cast<char>(i);
    zipw::Archive a;
    a.add(member("a.txt", "abc"));
    a.add(member("sub/\xc3\xa9.bin", big));
    a.add(member("empty", ""));
    std::string z = bytes_of(a);
    bool ok;
    auto es = read_archive(z, ok);
    CHECK_EQ(es.size(), 3u);
    if (es.size() != 3) return;
    CHECK(es[0].name == "a.txt" && es[0].data == "abc" && es[0].flags == 0);
    CHECK(es[1].name == "sub/\xc3\xa9.bin" && es[1].data == big && es[1].flags == 0x800);
    CHECK_EQ(es[1].crc, static_cast<std::uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(big.data()),
                                                         static_cast<uInt>(big.size()))));
    CHECK(es[2].size == 0 && es[2].csize == 2);  // an empty Deflate stream: 03 00
    CHECK_EQ(es[0].external, 0100644u << 16);
    CHECK_EQ(es[0].version, 20u | (3u << 8));
}

TEST(zip_empty_archive_is_the_end_record_alone) {
    zipw::Archive a;
    std::string z = bytes_of(a);
    CHECK_EQ(z.size(), 22u);
    CHECK_EQ(le(z, 0, 4), 0x06054b50u);
}

TEST(zip64_records_past_the_limits) {
    zipw::Archive a(100, 1);
    a.add(member("small", "abc"));
    a.add(member("large", std::string(1000, 'q')));
    a.add(member("after", "z"));
    std::string z = bytes_of(a);
    bool ok;
    auto es = read_archive(z, ok);
    CHECK_EQ(es.size(), 3u);
    if (es.size() != 3) return;
    CHECK(es[1].data == std::string(1000, 'q'));
    CHECK_EQ(es[1].version & 0xFF, 45u);
    CHECK(es[2].data == "z" && es[2].offset > 100);
    // The local header of the large member carries its sizes in a ZIP64 extra field.
    std::size_t h = es[1].offset;
    CHECK_EQ(le(z, h + 18, 4), 0xFFFFFFFFu);
    CHECK_EQ(le(z, h + 30 + 5 + 4, 8), 1000u);
    // More members than the count limit: the ZIP64 end record and its locator come first.
    CHECK_EQ(le(z, z.size() - 22 - 20, 4), 0x07064b50u);
    CHECK_EQ(le(z, z.size() - 22 - 20 - 56 + 32, 8), 3u);
}

TEST(dos_time_is_clamped_like_zipfile) {
    setenv("TZ", "UTC", 1);
    tzset();
    CHECK_EQ(zipw::dos_datetime(0), (1u << 5 | 1u) << 16);
    CHECK_EQ(zipw::dos_datetime(1700000000), ((43u << 9 | 11u << 5 | 14u) << 16) | (22u << 11 | 13u << 5 | 10u));
    CHECK_EQ(zipw::dos_datetime(7000000000LL), ((127u << 9 | 12u << 5 | 31u) << 16) | (23u << 11 | 59u << 5 | 29u));
}

TEST(directory_in_walk_order_with_links_and_special_files) {
    TempDir t;
    t.file("x", "xx");
    t.dir("sub");
    t.file("sub/y", "yy");
    t.dir("sub/deeper");
    t.file("sub/deeper/z", "zz");
    t.dir("empty");
    t.dir("other");
    t.file("other/w", "ww");
    ::symlink((t.path + "/x").c_str(), t.at("link-to-x").c_str());
    ::symlink((t.path + "/sub").c_str(), t.at("link-to-sub").c_str());
    ::mkfifo(t.at("pipe").c_str(), 0600);
    auto result = zipw::zip_directory(t.path, 2, nullptr, 4096);
    CHECK_EQ(result.failure.kind, zipw::DirectoryFailure::none);
    std::string z = bytes_of(result.archive);
    bool ok;
    auto es = read_archive(z, ok);
    std::vector<std::string> got = names(es);
    // Top-level files first (in listing order), then each subdirectory depth-first.
    std::vector<std::string> top, rest;
    for (const std::string& n : got) (n.find('/') == std::string::npos ? top : rest).push_back(n);
    CHECK_EQ(top.size(), 2u);  // x and link-to-x; the pipe is left out
    CHECK(std::find(top.begin(), top.end(), "link-to-x") != top.end());
    CHECK(got.size() == 5 && top.size() == 2 && got[0].find('/') == std::string::npos &&
          got[1].find('/') == std::string::npos);
    auto pos = [&](const std::string& n) { return std::find(got.begin(), got.end(), n) - got.begin(); };
    CHECK(pos("sub/y") + 1 == pos("sub/deeper/z"));
    CHECK(std::abs(pos("other/w") - pos("sub/y")) == 1 || std::abs(pos("other/w") - pos("sub/deeper/z")) == 1);
    for (const Entry& e : es)
        if (e.name == "link-to-x") CHECK(e.data == "xx");
    CHECK_EQ(result.archive.count(), 5u);
}

TEST(directory_failures) {
    TempDir t;
    t.file("a", "1");
    ::symlink("missing", t.at("b-broken").c_str());
    auto broken = zipw::zip_directory(t.path, 1);
    CHECK_EQ(broken.failure.kind, zipw::DirectoryFailure::stat);
    CHECK_EQ(broken.failure.error, ENOENT);
    CHECK(broken.failure.path == t.at("b-broken") && broken.failure.name == "b-broken");

    // A top that cannot be listed contributes nothing, as os.walk skips it.
    for (const std::string& top : {t.at("nope"), t.at("a")}) {
        auto unlisted = zipw::zip_directory(top, 1);
        CHECK_EQ(unlisted.failure.kind, zipw::DirectoryFailure::none);
        CHECK_EQ(unlisted.archive.count(), 0u);
    }

    TempDir e;
    e.dir("only-dirs");
    auto empty = zipw::zip_directory(e.path, 2);
    CHECK_EQ(empty.failure.kind, zipw::DirectoryFailure::none);
    CHECK_EQ(empty.archive.count(), 0u);

    TempDir n;
    n.file("bad\xff", "1");
    auto bad = zipw::zip_directory(n.path + "/", 1);
    CHECK_EQ(bad.failure.kind, zipw::DirectoryFailure::bad_name);
    CHECK(bad.failure.path == n.path + "/bad\xff");
}

TEST(deflate_grows_past_the_first_buffer_and_keeps_little_slack) {
    std::string noise(3 << 20, '\0');
    std::uint32_t x = 12345;
    for (char& c : noise) c = static_cast<char>((x = x * 1103515245u + 12345u) >> 24);
    zipw::Member m = member("noise", noise);
    CHECK(m.deflated.size() > (1u << 20));
    CHECK(m.deflated.capacity() - m.deflated.size() <= (64u << 10));
    CHECK(inflate_raw(m.deflated, noise.size()) == noise);

    std::string text;
    while (text.size() < (8u << 20)) text += "the same line again and again\n";
    zipw::Member t = member("text", text);
    CHECK(t.deflated.size() < (1u << 20));
    CHECK(t.deflated.capacity() < (2u << 20));  // not room for the whole input
    CHECK(inflate_raw(t.deflated, text.size()) == text);
}
