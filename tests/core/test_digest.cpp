#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "check.hpp"
#include "core/digest.hpp"

using namespace brivel;

TEST(sha256_known_vectors) {
    auto empty = digest::sha256("", 0);
    CHECK_EQ(digest::hex(empty.data(), empty.size()),
             "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    auto abc = digest::sha256("abc", 3);
    CHECK_EQ(digest::hex(abc.data(), abc.size()),
             "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    CHECK_EQ(digest::base64(abc.data(), abc.size()), "ungWv48Bz+pBQUDeXa4iI7ADYaOWF3qctBD/YfIAFa0=");
}

TEST(md5_known_vector) { CHECK_EQ(digest::md5_hex("abc", 3), "900150983cd24fb0d6963f7d28e17f72"); }

TEST(sha256_file_reads_every_block) {
    char path[] = "/tmp/brivel-core-XXXXXX";
    int fd = ::mkstemp(path);
    CHECK(fd >= 0);
    std::string body(3 * 1024 * 1024 + 17, 'x');
    CHECK_EQ(::write(fd, body.data(), body.size()), static_cast<ssize_t>(body.size()));
    ::close(fd);
    digest::FileDigest d;
    CHECK_EQ(digest::sha256_file(path, 1 << 20, d), 0);
    auto whole = digest::sha256(body.data(), body.size());
    CHECK_EQ(d.hex, digest::hex(whole.data(), whole.size()));
    CHECK_EQ(d.bytes, body.size());
    ::unlink(path);
}

TEST(sha256_file_reports_errno) {
    digest::FileDigest d;
    CHECK_EQ(digest::sha256_file("/nonexistent/brivel", 1 << 20, d), ENOENT);
    CHECK(!d.opened);
    CHECK_EQ(digest::sha256_file("/tmp", 1 << 20, d), EISDIR);
}

TEST(md5_incremental_matches_one_shot) {
    std::string body(3 * 1024 * 1024 + 5, 'q');
    digest::Md5 h;
    h.update(body.data(), 1000);
    h.update(body.data() + 1000, body.size() - 1000);
    CHECK_EQ(h.finish_hex(), digest::md5_hex(body.data(), body.size()));
}
