#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "check.hpp"
#include "core/multipart.hpp"

using namespace brivel;

namespace {

std::vector<long long> range(long long from, long long to) {
    std::vector<long long> v;
    for (long long i = from; i <= to; ++i) v.push_back(i);
    return v;
}

std::vector<std::size_t> sizes(const std::vector<std::vector<long long>>& b) {
    std::vector<std::size_t> out;
    for (const auto& x : b) out.push_back(x.size());
    return out;
}

std::string temp_file(const std::string& body) {
    char path[] = "/tmp/brivel-mp-XXXXXX";
    int fd = ::mkstemp(path);
    CHECK(fd >= 0);
    CHECK_EQ(::write(fd, body.data(), body.size()), static_cast<ssize_t>(body.size()));
    ::close(fd);
    return path;
}

}  // namespace

TEST(plain_batches_are_100_whatever_the_pool) {
    auto b = multipart::batches(range(1, 250), false, 1 << 20, 4);
    CHECK((sizes(b) == std::vector<std::size_t>{100, 100, 50}));
    CHECK_EQ(b[1].front(), 101);
    CHECK(multipart::batches({}, false, 1, 1).empty());
}

TEST(checksum_batches_cover_at_most_1_gib) {
    // 16 MiB parts, 21 workers: a first batch of 21, then batches of 64.
    auto b = multipart::batches(range(1, 300), true, 16 << 20, 21);
    CHECK((sizes(b) == std::vector<std::size_t>{21, 64, 64, 64, 64, 23}));
    // 2 MiB parts, 4 workers: first batch of 8, then 100.
    CHECK((sizes(multipart::batches(range(1, 120), true, 2 << 20, 4)) == std::vector<std::size_t>{8, 100, 12}));
    // Parts of 1 GiB or more: one part per batch.
    CHECK((sizes(multipart::batches(range(1, 3), true, 1LL << 30, 16)) == std::vector<std::size_t>{1, 1, 1}));
}

TEST(depth_with_default_settings) {
    multipart::DepthSettings s;
    s.budget = 1LL << 30;
    s.part_size = 16 << 20;
    s.small_part_bytes = 32 << 20;
    s.depth_small = s.depth_large = 16;
    s.adaptive = true;
    s.socket_ceiling = 136;
    s.total_parts = 1000;
    const long long caps[] = {64, 32, 21};
    for (long long c = 1; c <= 3; ++c) {
        s.concurrency = c;
        auto d = multipart::plan_depth(s);
        CHECK_EQ(d.max_inflight, 16);
        CHECK_EQ(d.cap, caps[c - 1]);
        CHECK_EQ(d.pool_workers, caps[c - 1]);
        CHECK(d.controller);
    }
    // 64 MiB parts, three files: 5 parts fit, no controller.
    s.part_size = 64 << 20;
    s.concurrency = 3;
    auto d = multipart::plan_depth(s);
    CHECK(d.max_inflight == 5 && d.cap == 5 && !d.controller && d.pool_workers == 5);
    // Ten 16 MiB parts: the cap cannot pass the part count, so the depth stays fixed.
    s.part_size = 16 << 20;
    s.concurrency = 1;
    s.total_parts = 10;
    d = multipart::plan_depth(s);
    CHECK(d.max_inflight == 16 && d.cap == 16 && !d.controller);
    // Adaptive off, or a budget below one part: a fixed depth of at least one.
    s.adaptive = false;
    s.total_parts = 1000;
    CHECK(!multipart::plan_depth(s).controller && multipart::plan_depth(s).pool_workers == 16);
    s.budget = -5;
    CHECK_EQ(multipart::plan_depth(s).max_inflight, 1);
}

TEST(large_file_concurrency) {
    const long long gib = 1LL << 30;
    CHECK_EQ(multipart::large_file_concurrency(gib, 16 << 20, 3, 5), 3);
    CHECK_EQ(multipart::large_file_concurrency(gib, 16 << 20, 3, 1), 1);
    CHECK_EQ(multipart::large_file_concurrency(gib, 512 << 20, 3, 4), 2);
    CHECK_EQ(multipart::large_file_concurrency(gib, 2 * gib, 3, 4), 1);
    CHECK_EQ(multipart::large_file_concurrency(gib, 16 << 20, 0, 4), 1);
    CHECK_EQ(multipart::large_file_concurrency(-1, 0, 3, 4), 1);
}

TEST(floordiv_rounds_down) {
    CHECK_EQ(multipart::floordiv(7, 2), 3);
    CHECK_EQ(multipart::floordiv(-7, 2), -4);
    CHECK_EQ(multipart::floordiv(-8, 2), -4);
}

TEST(region_reads_stop_at_the_end) {
    std::string body(3000, '\0');
    for (std::size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>(i * 7);
    std::string path = temp_file(body);
    std::string buf(1024, '\0');
    std::size_t got = 0;
    CHECK_EQ(multipart::read_region(path.c_str(), 2500, buf.data(), buf.size(), got), 0);
    CHECK_EQ(got, 500u);
    CHECK(buf.compare(0, 500, body, 2500, 500) == 0);
    // Hashing in small pieces gives the digest of the bytes that exist.
    digest::Sha256Raw a{}, b{};
    CHECK_EQ(multipart::sha256_region(path.c_str(), 1000, 5000, a, nullptr, 7), 0);
    b = digest::sha256(body.data() + 1000, 2000);
    CHECK(a == b);
    CHECK_EQ(multipart::sha256_region(path.c_str(), 3000, 10, a), 0);
    CHECK(a == digest::sha256("", 0));
    // Hashed as it is read, block by block.
    std::string whole(body.size(), '\0');
    digest::Md5 md5;
    CHECK_EQ(multipart::read_region(path.c_str(), 0, whole.data(), whole.size(), got, &md5), 0);
    CHECK(got == body.size() && whole == body);
    CHECK_EQ(md5.finish_hex(), digest::md5_hex(body.data(), body.size()));
    CHECK(multipart::read_region("/nonexistent/x", 0, buf.data(), 1, got) != 0);
    ::unlink(path.c_str());
}
