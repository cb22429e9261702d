// Runs one work function on the calling thread and on up to workers - 1 more threads, and
// waits for all of them. The work function pulls its own items (an atomic index), so fewer
// threads than asked for, when the system refuses more, only make the run slower.
//
// Every thread is joined whatever happens: an exception of any of them (an allocation
// failure, say), the calling thread's included, is caught, `stop` is set so that the others
// can end early, and the first one is rethrown on the calling thread once all have ended.
// With the job's `token`, the calling thread, once done with its own share, keeps asking it
// while it waits for the others (Workers::join): the work must ask the same token at its
// check points, so that a stop seen there ends the others too.
#pragma once

#include <atomic>
#include <cstddef>
#include <utility>

#include "core/cancel.hpp"
#include "core/workers.hpp"

namespace brivel::threads {

template <class F>
void spread(std::size_t workers, const cancel::Token* token, std::atomic<bool>& stop, F&& work) {
    Workers crew([&stop] { stop.store(true, std::memory_order_relaxed); });
    const std::function<void()> each = [&work] { work(); };
    crew.start(workers > 1 ? workers - 1 : 0, each, Workers::Refusal::tolerated);
    crew.run(each);
    crew.join(token);
    crew.rethrow();
}

template <class F>
void spread(std::size_t workers, const cancel::Token* token, F&& work) {
    std::atomic<bool> stop{false};
    spread(workers, token, stop, std::forward<F>(work));
}

}  // namespace brivel::threads
