#include "core/hashpool.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <memory>

#include "core/digest.hpp"
#include "core/spread.hpp"

namespace brivel::hashpool {

using threads::spread;

void stat_all(std::vector<StatJob>& jobs, std::size_t workers) {
    std::atomic<std::size_t> next{0};
    std::atomic<bool> stop{false};
    constexpr std::size_t kBatch = 256;
    spread(std::min(workers, jobs.size() / kBatch + 1), stop, [&] {
        for (std::size_t from; !stop.load(std::memory_order_relaxed) &&
                               (from = next.fetch_add(kBatch, std::memory_order_relaxed)) < jobs.size();)
            for (std::size_t i = from; i < std::min(jobs.size(), from + kBatch); ++i)
                jobs[i].error = ::stat(jobs[i].path.c_str(), &jobs[i].st) == 0 ? 0 : errno;
    });
}

bool hash_all(std::vector<HashJob>& jobs, std::size_t workers, std::size_t chunk, const cancel::Token* stop) {
    const std::size_t block = digest::block_size(chunk);
    std::atomic<std::size_t> next{0};
    std::atomic<bool> failed{false};  // a thread's exception: the others end early
    auto cancelled = [stop] { return stop && stop->requested(); };
    auto work = [&] {
        std::unique_ptr<unsigned char[]> buf(new unsigned char[block]);
        while (!failed.load(std::memory_order_relaxed)) {
            if (stop && stop->stopped()) break;
            std::size_t i = next.fetch_add(1, std::memory_order_relaxed);
            if (i >= jobs.size()) break;
            HashJob& j = jobs[i];
            digest::FileDigest d;
            const int err = digest::sha256_file(j.path.c_str(), buf.get(), block, d, stop);
            if (err == cancel::kCancelled && cancelled()) break;
            j.error = err;
            j.read_error = j.error != 0 && d.opened;
            if (j.error == 0) {
                j.hex = std::move(d.hex);
                j.bytes = d.bytes;
            }
            j.done = true;
        }
    };
    spread(std::min(workers, jobs.size()), failed, work);
    return !cancelled();
}

}  // namespace brivel::hashpool
