#include "core/workers.hpp"

#include <utility>

namespace brivel::threads {

Workers::Workers(std::function<void()> on_failure) : on_failure_(std::move(on_failure)) {}

Workers::~Workers() { join(); }

std::size_t Workers::start(std::size_t n, const std::function<void()>& work, Refusal refusal) {
    const std::size_t before = threads_.size();
    for (std::size_t t = 0; t < n; ++t) {
        // Counted before the start: the thread may end before emplace_back returns.
        {
            std::lock_guard<std::mutex> hold(m_);
            ++running_;
        }
        try {
            threads_.emplace_back([this, work] {
                run(work);
                std::lock_guard<std::mutex> hold(m_);
                --running_;
                ended_.notify_all();
            });
        } catch (...) {
            {
                std::lock_guard<std::mutex> hold(m_);
                --running_;
            }
            if (refusal == Refusal::thrown_if_none && threads_.size() == before) throw;
            break;  // the threads running share the rest
        }
    }
    return threads_.size() - before;
}

void Workers::run(const std::function<void()>& work) noexcept {
    try {
        work();
    } catch (...) {
        {
            std::lock_guard<std::mutex> hold(m_);
            if (!first_) first_ = std::current_exception();
        }
        failed_.store(true, std::memory_order_release);
        if (on_failure_) on_failure_();
    }
}

void Workers::join(const cancel::Token* stop) {
    if (stop) {
        std::unique_lock<std::mutex> hold(m_);
        while (!ended_.wait_for(hold, kJoinSlice, [this] { return running_ == 0; })) {
            // The watch may take the interpreter's lock: never while holding ours, which an
            // ending thread needs.
            hold.unlock();
            const bool stopped = stop->stopped();
            hold.lock();
            if (stopped) break;
        }
    }
    for (std::thread& t : threads_)
        if (t.joinable()) t.join();
    threads_.clear();
}

void Workers::rethrow() {
    std::exception_ptr first;
    {
        std::lock_guard<std::mutex> hold(m_);
        first = first_;
    }
    if (first) std::rethrow_exception(first);
}

}  // namespace brivel::threads
