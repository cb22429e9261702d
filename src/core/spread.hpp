// Runs one work function on the calling thread and on up to workers - 1 more threads, and
// waits for all of them. The work function pulls its own items (an atomic index), so fewer
// threads than asked for, when the system refuses more, only make the run slower.
#pragma once

#include <cstddef>
#include <system_error>
#include <thread>
#include <vector>

namespace brivel::threads {

template <class F>
void spread(std::size_t workers, F&& work) {
    std::vector<std::thread> threads;
    for (std::size_t t = 1; t < workers; ++t) {
        try {
            threads.emplace_back(work);
        } catch (const std::system_error&) {
            break;  // no more threads to be had: the ones running share the rest
        }
    }
    work();
    for (std::thread& t : threads) t.join();
}

}  // namespace brivel::threads
