#include "core/filescan.hpp"

#include <algorithm>
#include <memory>

#include "core/digest.hpp"

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
    : index_(index), index_ready_(std::move(index_ready)), block_(digest::block_size(chunk)) {
    batch_.reserve(kBatch);
    for (std::size_t t = 0; t < std::max<std::size_t>(1, workers); ++t) {
        try {
            threads_.emplace_back([this] { run(); });
        } catch (...) {
            if (threads_.empty()) throw;
            break;  // the system refuses more threads: the ones running share the work
        }
    }
}

Scanner::~Scanner() {
    {
        std::lock_guard<std::mutex> hold(m_);
        stopping_ = true;
    }
    stop_.request();
    work_cv_.notify_all();
    for (std::thread& t : threads_) t.join();
}

void Scanner::add(Item& item) {
    // Once the index is there, a file it holds is settled at once: a look-up costs less
    // than handing the file to a worker.
    if (!index_seen_) index_seen_ = index_ready_.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
    if (index_seen_ && from_index(item)) return;
    batch_.push_back(&item);
    batch_bytes_ += std::max(0LL, item.sig.size);
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
    done_cv_.wait_for(hold, limit, [&] { return done_ == added_ || failure_; });
    if (failure_) std::rethrow_exception(failure_);
    return done_ == added_;
}

void Scanner::run() {
    try {
        std::unique_ptr<unsigned char[]> buf(new unsigned char[block_]);
        bool index_seen = false;
        for (;;) {
            std::vector<Item*> batch;
            {
                std::unique_lock<std::mutex> hold(m_);
                work_cv_.wait(hold, [&] { return stopping_ || !queue_.empty(); });
                if (stopping_) return;
                batch = std::move(queue_.front());
                queue_.pop_front();
            }
            // The index may still be read; a stop must not wait for it.
            while (!index_seen) {
                index_seen = index_ready_.wait_for(std::chrono::milliseconds(10)) == std::future_status::ready;
                std::lock_guard<std::mutex> hold(m_);
                if (stopping_) return;
            }
            for (Item* item : batch) {
                if (stop_.requested()) return;  // a stop ends the batch too
                process(*item, buf.get());
            }
            {
                std::lock_guard<std::mutex> hold(m_);
                done_ += batch.size();
            }
            done_cv_.notify_all();
        }
    } catch (...) {
        {
            std::lock_guard<std::mutex> hold(m_);
            if (!failure_) failure_ = std::current_exception();
        }
        done_cv_.notify_all();
    }
}

bool Scanner::from_index(Item& item) const {
    std::optional<std::string_view> stored = index_.hit(item.path, item.sig);
    if (!stored) return false;
    if (!digest::from_hex(*stored, item.sha)) item.stored = std::make_unique<std::string>(*stored);
    item.bytes = static_cast<std::uint64_t>(item.sig.size);
    item.state = Item::State::hit;
    return true;
}

void Scanner::process(Item& item, unsigned char* buf) {
    if (from_index(item)) return;
    digest::FileDigest d;
    d.want_hex = false;
    item.error = digest::sha256_file(item.path.data(), buf, block_, d, &stop_);
    if (item.error == cancel::kCancelled && stop_.requested()) return;  // the scan is being given up
    if (item.error) {
        item.read_error = d.opened;
        item.state = Item::State::failed;
        return;
    }
    item.sha = d.raw;
    item.bytes = d.bytes;
    item.state = Item::State::hashed;
}

std::string_view Item::hex(char (&buf)[64]) const {
    if (stored) return *stored;
    digest::hex_into(sha.data(), sha.size(), buf);
    return {buf, 64};
}

}  // namespace brivel::filescan
