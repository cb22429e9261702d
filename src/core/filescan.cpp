#include "core/filescan.hpp"

#include <algorithm>
#include <memory>

#include "core/digest.hpp"
#include "core/hashpool.hpp"

namespace brivel::filescan {

namespace {

// Items go to the workers in batches: one lock and wake-up per batch, not per file. A
// batch closes early once it holds this many bytes, so that large files spread over all
// workers.
constexpr std::size_t kBatch = 64;
constexpr long long kBatchBytes = 1 << 20;

}  // namespace

Scanner::Scanner(std::size_t workers, std::size_t chunk, const cachedoc::Index& index,
                 std::shared_future<void> index_ready)
    : index_(index),
      index_ready_(std::move(index_ready)),
      block_(digest::block_size(chunk)),
      workers_([this] {
          // Taken and let go: a waiter has either seen the failure or is asleep, and woken.
          { std::lock_guard<std::mutex> hold(m_); }
          done_cv_.notify_all();
      }) {
    batch_.reserve(kBatch);
    workers_.start(std::max<std::size_t>(1, workers), [this] { run(); }, threads::Workers::Refusal::thrown_if_none);
}

Scanner::~Scanner() {
    {
        std::lock_guard<std::mutex> hold(m_);
        stopping_ = true;
    }
    stop_.request();
    work_cv_.notify_all();
    workers_.join();
}

void Scanner::add(Item& item) {
    // Once the index is there, a file it holds is settled at once: a look-up costs less
    // than handing the file to a worker.
    if (!index_seen_) index_seen_ = index_ready_.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
    if (index_seen_ && from_index(item)) return;
    batch_.push_back(&item);
    batch_bytes_ += std::max(0LL, item.stat_sig.size);
    if (batch_.size() >= kBatch || batch_bytes_ >= kBatchBytes) flush();
}

void Scanner::flush() {
    if (batch_.empty()) return;
    {
        std::lock_guard<std::mutex> hold(m_);
        added_ += batch_.size();
        queue_.push_back(std::move(batch_));
    }
    batch_ = {};
    batch_.reserve(kBatch);
    batch_bytes_ = 0;
    work_cv_.notify_one();
}

bool Scanner::wait(std::chrono::milliseconds limit) {
    flush();
    std::unique_lock<std::mutex> hold(m_);
    done_cv_.wait_for(hold, limit, [&] { return done_ == added_ || workers_.failed(); });
    workers_.rethrow();
    return done_ == added_;
}

void Scanner::run() {
    Turn turn;
    Item* item = nullptr;
    hashpool::hash_files(
        block_, &stop_,
        [&]() -> const char* {
            item = next(turn);
            return item ? item->path.data() : nullptr;
        },
        [&](int error, const digest::FileDigest& d) {
            if (error) {
                item->error = error;
                item->read_error = d.opened;
                item->state = Item::State::failed;
                return;
            }
            item->sha = d.raw;
            item->bytes = d.bytes;
            item->state = Item::State::hashed;
        });
}

Item* Scanner::next(Turn& turn) {
    for (;;) {
        if (turn.at == turn.batch.size()) {
            if (!turn.batch.empty()) {
                {
                    std::lock_guard<std::mutex> hold(m_);
                    done_ += turn.batch.size();
                }
                done_cv_.notify_all();
            }
            {
                std::unique_lock<std::mutex> hold(m_);
                work_cv_.wait(hold, [&] { return stopping_ || !queue_.empty(); });
                if (stopping_) return nullptr;
                turn.batch = std::move(queue_.front());
                queue_.pop_front();
            }
            turn.at = 0;
            // The index may still be read; a stop must not wait for it.
            while (!turn.index_seen) {
                turn.index_seen = index_ready_.wait_for(std::chrono::milliseconds(10)) == std::future_status::ready;
                std::lock_guard<std::mutex> hold(m_);
                if (stopping_) return nullptr;
            }
        }
        if (stop_.requested()) return nullptr;  // a stop ends the batch too
        Item* item = turn.batch[turn.at++];
        if (!from_index(*item)) return item;
    }
}

bool Scanner::from_index(Item& item) const {
    std::optional<std::string_view> stored = index_.hit(item.path, item.stat_sig);
    if (!stored) return false;
    if (!digest::from_hex(*stored, item.sha)) item.stored = std::make_unique<std::string>(*stored);
    item.bytes = static_cast<std::uint64_t>(item.stat_sig.size);
    item.state = Item::State::hit;
    return true;
}

std::string_view Item::hex(char (&buf)[64]) const {
    if (stored) return *stored;
    digest::hex_into(sha.data(), sha.size(), buf);
    return {buf, 64};
}

}  // namespace brivel::filescan
