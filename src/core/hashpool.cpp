#include "core/hashpool.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <memory>
#include <thread>

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

bool hash_all(std::vector<HashJob>& jobs, std::size_t workers, std::size_t chunk,
              const std::function<bool()>& interrupted) {
    const std::size_t block = digest::block_size(chunk);
    std::atomic<std::size_t> next{0};
    std::atomic<bool> stop{false};
    const std::thread::id caller = std::this_thread::get_id();
    auto poll_due = std::chrono::steady_clock::now();
    auto work = [&] {
        std::unique_ptr<unsigned char[]> buf(new unsigned char[block]);
        while (!stop.load(std::memory_order_relaxed)) {
            // Only the calling thread asks, and not more than every few milliseconds.
            if (interrupted && std::this_thread::get_id() == caller) {
                auto now = std::chrono::steady_clock::now();
                if (now >= poll_due) {
                    poll_due = now + std::chrono::milliseconds(5);
                    if (interrupted()) {
                        stop.store(true, std::memory_order_relaxed);
                        break;
                    }
                }
            }
            std::size_t i = next.fetch_add(1, std::memory_order_relaxed);
            if (i >= jobs.size()) break;
            HashJob& j = jobs[i];
            digest::FileDigest d;
            j.error = digest::sha256_file(j.path.c_str(), buf.get(), block, d);
            j.read_error = j.error != 0 && d.opened;
            if (j.error == 0) {
                j.hex = std::move(d.hex);
                j.bytes = d.bytes;
            }
            j.done = true;
        }
    };
    spread(std::min(workers, jobs.size()), stop, work);
    return !stop.load(std::memory_order_relaxed);
}

}  // namespace brivel::hashpool
