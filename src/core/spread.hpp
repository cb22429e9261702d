// Runs one work function on the calling thread and on up to workers - 1 more threads, and
// waits for all of them. The work function pulls its own items (an atomic index), so fewer
// threads than asked for, when the system refuses more, only make the run slower.
//
// Every thread is joined whatever happens: an exception of any of them (an allocation
// failure, say), the calling thread's included, is caught, `stop` is set so that the others
// can end early, and the first one is rethrown on the calling thread once all have ended.
#pragma once

#include <atomic>
#include <cstddef>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace brivel::threads {

template <class F>
void spread(std::size_t workers, std::atomic<bool>& stop, F&& work) {
    std::mutex m;
    std::exception_ptr first;
    auto guarded = [&] {
        try {
            work();
        } catch (...) {
            stop.store(true, std::memory_order_relaxed);
            std::lock_guard<std::mutex> hold(m);
            if (!first) first = std::current_exception();
        }
    };
    std::vector<std::thread> threads;
    for (std::size_t t = 1; t < workers; ++t) {
        try {
            threads.emplace_back(guarded);
        } catch (...) {
            break;  // no more threads (or no memory for one): the ones running share the rest
        }
    }
    guarded();
    for (std::thread& t : threads) t.join();
    if (first) std::rethrow_exception(first);
}

template <class F>
void spread(std::size_t workers, F&& work) {
    std::atomic<bool> stop{false};
    spread(workers, stop, std::forward<F>(work));
}

}  // namespace brivel::threads
