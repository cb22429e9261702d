// Runs a piece of a test that could hang if the code under test were broken.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <thread>

namespace brivel::check {

// Runs `f` on a thread and gives it `limit` to end; a hang fails the whole run at once
// rather than blocking it forever.
inline void bounded(const char* what, std::chrono::milliseconds limit, std::function<void()> f) {
    std::mutex m;
    std::condition_variable cv;
    bool finished = false;
    std::thread t([&] {
        f();
        std::lock_guard<std::mutex> hold(m);
        finished = true;
        cv.notify_all();
    });
    std::unique_lock<std::mutex> hold(m);
    if (!cv.wait_for(hold, limit, [&] { return finished; })) {
        std::fprintf(stderr, "%s did not end within %lld ms\n", what, static_cast<long long>(limit.count()));
        std::_Exit(1);
    }
    hold.unlock();
    t.join();
}

}  // namespace brivel::check
