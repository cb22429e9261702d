#include "workspace/hashpool.hpp"

#include <atomic>
#include <cerrno>
#include <memory>
#include <system_error>
#include <thread>

#include "common/digest.hpp"

namespace brivel::hashpool {

void stat_all(std::vector<StatJob>& jobs) {
    for (StatJob& j : jobs) j.error = ::stat(j.path.c_str(), &j.st) == 0 ? 0 : errno;
}

void hash_all(std::vector<HashJob>& jobs, std::size_t workers, std::size_t chunk) {
    const std::size_t block = digest::block_size(chunk);
    std::atomic<std::size_t> next{0};
    auto work = [&] {
        std::unique_ptr<unsigned char[]> buf(new unsigned char[block]);
        for (std::size_t i; (i = next.fetch_add(1, std::memory_order_relaxed)) < jobs.size();) {
            HashJob& j = jobs[i];
            digest::FileDigest d;
            j.error = digest::sha256_file(j.path.c_str(), buf.get(), block, d);
            if (j.error == 0) {
                j.hex = std::move(d.hex);
                j.bytes = d.bytes;
            }
        }
    };
    if (workers > jobs.size()) workers = jobs.size();
    std::vector<std::thread> threads;
    for (std::size_t t = 1; t < workers; ++t) {
        try {
            threads.emplace_back(work);
        } catch (const std::system_error&) {
            break;  // no more threads to be had: the ones running share the rest
        }
    }
    work();  // the calling thread is one of the workers
    for (std::thread& t : threads) t.join();
}

}  // namespace brivel::hashpool
