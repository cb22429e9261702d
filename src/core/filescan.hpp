// The files of a manifest checked against the hash cache and hashed where it does not
// hold, on worker threads that start while the walk that finds the files is still running.
// Plain C++; the producer hands items over as it finds them and waits for them at the end.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "core/cachedoc.hpp"
#include "core/cancel.hpp"
#include "core/digest.hpp"
#include "core/workers.hpp"

namespace brivel::filescan {

struct Item {
    // File-system bytes followed by a NUL, kept in place by the owner (an arena).
    std::string_view path;
    cachedoc::Signature stat_sig;  // from the file's stat
    enum class State : unsigned char { queued, hit, hashed, failed };
    State state = State::queued;
    bool read_error = false;    // a failed hash came from a read, after a successful open
    int error = 0;              // errno of a failed hash
    // The content hash: raw, or, for a hit whose stored text is not 64 lower-case hex
    // digits (never so in a document this module wrote), that text as stored.
    digest::Sha256Raw sha{};
    std::unique_ptr<std::string> stored;
    std::uint64_t bytes = 0;    // bytes hashed, or the stat's size on a hit

    // The hash as the manifest writes it: 64 lower-case hex digits, or the stored text.
    std::string_view hex(char (&buf)[64]) const;
};

class Scanner {
  public:
    // `index` is consulted once `index_ready` is ready; `workers` threads (at least one)
    // read in blocks of `chunk` bytes.
    Scanner(std::size_t workers, std::size_t chunk, const cachedoc::Index& index, std::shared_future<void> index_ready);
    ~Scanner();  // stops the workers, the files being hashed broken off, and joins them
    Scanner(const Scanner&) = delete;
    Scanner& operator=(const Scanner&) = delete;

    // Settles an item the index holds at once, else queues it; a queued item must stay in
    // place until the workers are done with it. Called from one thread.
    void add(Item& item);
    // Hands over the items queued but not yet passed on in a batch.
    void flush();
    // Waits up to `limit` for every item added so far; true once all are done. An
    // exception of a worker is rethrown here.
    bool wait(std::chrono::milliseconds limit);

  private:
    const cachedoc::Index& index_;
    std::shared_future<void> index_ready_;
    std::size_t block_;
    std::mutex m_;
    std::condition_variable work_cv_, done_cv_;
    std::deque<std::vector<Item*>> queue_;
    std::vector<Item*> batch_;
    long long batch_bytes_ = 0;  // the stat sizes of the items in batch_
    bool index_seen_ = false;  // the caller's thread knows the index is ready
    std::size_t added_ = 0, done_ = 0;
    bool stopping_ = false;
    cancel::Token stop_;  // stopping_, read between files and blocks without the lock
    threads::Workers workers_;  // last: its threads use all of the above

    // A worker's place in the queue: the batch it works through.
    struct Turn {
        std::vector<Item*> batch;
        std::size_t at = 0;
        bool index_seen = false;
    };
    void run();
    Item* next(Turn& turn);
    bool from_index(Item& item) const;
};

}  // namespace brivel::filescan
