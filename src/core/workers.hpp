// The threads of one job and the first exception any of them raised. Every thread is joined
// before the Workers end, a thread the system refuses to start never loses its work, and an
// exception of a thread (an allocation failure, say) is kept for the caller, never lost.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "core/cancel.hpp"

namespace brivel::threads {

class Workers {
  public:
    // `on_failure` runs on a thread whose work threw, once its exception is kept: to tell
    // the others to end early, or to wake whoever waits for them. It must not throw.
    explicit Workers(std::function<void()> on_failure = {});
    ~Workers();  // joins every thread
    Workers(const Workers&) = delete;
    Workers& operator=(const Workers&) = delete;

    // When the system refuses a thread (std::system_error, or no memory for one), the
    // threads started share its work; what else happens depends on who else does the work.
    enum class Refusal {
        tolerated,       // the caller works too (run()): fewer threads only make it slower
        thrown_if_none,  // the threads alone do it: a refusal of the first one is thrown
    };
    // Starts up to `n` threads, each running `work` under run(); returns how many started.
    std::size_t start(std::size_t n, const std::function<void()>& work, Refusal refusal);
    // Runs `work` on this thread; an exception is kept as a thread's is.
    void run(const std::function<void()>& work) noexcept;

    // A thread's work threw (readable while they run).
    bool failed() const noexcept { return failed_.load(std::memory_order_acquire); }
    // Waits for every thread. With the job's `stop`, the wait asks `stop->stopped()` every
    // kJoinSlice while threads still run, so that the calling thread's watch gets its turn
    // (Ctrl-C on the main thread); once it answers true, the threads, which ask the same
    // token at their check points, are left to end and joined.
    void join(const cancel::Token* stop = nullptr);
    static constexpr std::chrono::milliseconds kJoinSlice{10};
    // Throws the first exception kept, if any: after join(), or at any time to learn of a
    // failure early.
    void rethrow();

  private:
    std::function<void()> on_failure_;
    std::vector<std::thread> threads_;
    std::mutex m_;
    std::condition_variable ended_;
    std::size_t running_ = 0;  // threads started whose work has not returned
    std::exception_ptr first_;
    std::atomic<bool> failed_{false};
};

}  // namespace brivel::threads
