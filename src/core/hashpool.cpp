#include "core/hashpool.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <memory>

#include "core/digest.hpp"
#include "core/spread.hpp"

namespace brivel::hashpool {

using threads::spread;

bool stat_all(std::vector<StatJob>& jobs, std::size_t workers, const cancel::Token* stop) {
    std::atomic<std::size_t> next{0};
    std::atomic<bool> failed{false};  // a thread's exception: the others end early
    constexpr std::size_t kBatch = 256;
    spread(std::min(workers, jobs.size() / kBatch + 1), stop, failed, [&] {
        for (std::size_t from; !failed.load(std::memory_order_relaxed) && !(stop && stop->stopped()) &&
                               (from = next.fetch_add(kBatch, std::memory_order_relaxed)) < jobs.size();)
            for (std::size_t i = from; i < std::min(jobs.size(), from + kBatch); ++i)
                jobs[i].error = ::stat(jobs[i].path.c_str(), &jobs[i].st) == 0 ? 0 : errno;
    });
    return !(stop && stop->requested());
}

bool hash_all(std::vector<HashJob>& jobs, std::size_t workers, std::size_t chunk, const cancel::Token* stop) {
    const std::size_t block = digest::block_size(chunk);
    std::atomic<std::size_t> next{0};
    std::atomic<bool> failed{false};  // a thread's exception: the others end early
    spread(std::min(workers, jobs.size()), stop, failed, [&] {
        HashJob* job = nullptr;
        hash_files(
            block, stop,
            [&]() -> const char* {
                if (failed.load(std::memory_order_relaxed)) return nullptr;
                const std::size_t i = next.fetch_add(1, std::memory_order_relaxed);
                if (i >= jobs.size()) return nullptr;
                job = &jobs[i];
                return job->path.c_str();
            },
            [&](int error, const digest::FileDigest& d) {
                job->error = error;
                job->read_error = error != 0 && d.opened;
                if (error == 0) {
                    job->hex = digest::hex(d.raw.data(), d.raw.size());
                    job->bytes = d.bytes;
                }
                job->done = true;
            });
    });
    return !(stop && stop->requested());
}

void hash_files(std::size_t block, const cancel::Token* stop, const std::function<const char*()>& next,
                const std::function<void(int error, const digest::FileDigest& d)>& done) {
    std::unique_ptr<unsigned char[]> buf(new unsigned char[block]);
    for (;;) {
        if (stop && stop->stopped()) return;
        const char* path = next();
        if (!path) return;
        digest::FileDigest d;
        d.want_hex = false;
        const int error = digest::sha256_file(path, buf.get(), block, d, stop);
        if (error == cancel::kCancelled && stop && stop->requested()) return;
        done(error, d);
    }
}

}  // namespace brivel::hashpool
