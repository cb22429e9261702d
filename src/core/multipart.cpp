#include "core/multipart.hpp"

#include <algorithm>
#include <memory>

#include "core/filereader.hpp"

namespace brivel::multipart {

namespace {

// Presign requests carry at most this many parts.
constexpr long long kBatchParts = 100;
// Part bytes hashed per batch in checksum mode.
constexpr long long kChecksumBatchBytes = 1073741824;

}  // namespace

long long floordiv(long long a, long long b) {
    long long q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
    return q;
}

std::vector<std::vector<long long>> batches(const std::vector<long long>& missing, bool checksum_parts,
                                            long long part_size, long long pool_workers) {
    long long per_batch = kBatchParts;
    long long first = per_batch;
    if (checksum_parts) {
        per_batch = std::max(1LL, std::min(kBatchParts, kChecksumBatchBytes / std::max(1LL, part_size)));
        first = std::max(1LL, std::min(std::max(8LL, pool_workers), per_batch));
    }
    std::vector<std::vector<long long>> out;
    const std::size_t n = missing.size();
    std::size_t i = 0;
    std::size_t take = static_cast<std::size_t>(first);
    while (i < n) {
        std::size_t end = std::min(n, i + take);
        out.emplace_back(missing.begin() + static_cast<std::ptrdiff_t>(i), missing.begin() + static_cast<std::ptrdiff_t>(end));
        i = end;
        take = static_cast<std::size_t>(per_batch);
    }
    return out;
}

Depth plan_depth(const DepthSettings& s) {
    Depth d;
    const long long part = std::max(1LL, s.part_size);
    const long long per_file_budget = std::max(1LL, floordiv(s.budget, std::max(1LL, s.concurrency)));
    const long long fit = per_file_budget / part;
    const long long depth_cap = s.part_size <= s.small_part_bytes ? s.depth_small : s.depth_large;
    d.max_inflight = std::max(1LL, std::min(depth_cap, fit));
    d.cap = d.max_inflight;
    d.pool_workers = d.max_inflight;
    if (s.adaptive) {
        d.cap = std::max(d.max_inflight, std::min({s.socket_ceiling, fit, s.total_parts}));
        if (d.cap > d.max_inflight) {
            d.controller = true;
            d.pool_workers = d.cap;
        }
    }
    return d;
}

long long large_file_concurrency(long long budget, long long part_size, long long configured, long long files) {
    long long mem_cap = std::max(1LL, floordiv(budget, std::max(part_size, 1LL)));
    return std::max(1LL, std::min({configured, files, mem_cap}));
}

int read_region(const char* path, std::uint64_t offset, void* buf, std::size_t length, std::size_t& got,
                digest::Md5* md5, const cancel::Token* stop) {
    constexpr std::size_t kBlock = std::size_t{1} << 20;
    got = 0;
    files::FileReader reader;
    if (int err = reader.open(path, stop)) return err;
    if (int err = reader.seek(offset)) return err;
    auto* p = static_cast<unsigned char*>(buf);
    while (got < length) {
        if (stop && stop->stopped()) return cancel::kCancelled;
        long long n = reader.read(p + got, std::min(kBlock, length - got));
        if (n < 0) return static_cast<int>(-n);
        if (n == 0) break;
        if (md5) md5->update(p + got, static_cast<std::size_t>(n));
        got += static_cast<std::size_t>(n);
    }
    return 0;
}

int sha256_region(const char* path, std::uint64_t offset, std::uint64_t length, digest::Sha256Raw& out,
                  const cancel::Token* stop, std::size_t piece) {
    files::FileReader reader;
    if (int err = reader.open(path, stop)) return err;
    if (int err = reader.seek(offset)) return err;
    digest::Sha256 h;
    std::unique_ptr<unsigned char[]> buf(new unsigned char[std::max<std::size_t>(1, std::min<std::uint64_t>(piece, length))]);
    std::uint64_t remaining = length;
    while (remaining > 0) {
        if (stop && stop->stopped()) return cancel::kCancelled;
        std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(remaining, piece));
        long long n = reader.read(buf.get(), want);
        if (n < 0) return static_cast<int>(-n);
        if (n == 0) break;
        h.update(buf.get(), static_cast<std::size_t>(n));
        remaining -= static_cast<std::uint64_t>(n);
    }
    out = h.finish();
    return 0;
}

}  // namespace brivel::multipart
