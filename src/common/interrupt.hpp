// Native jobs that answer Ctrl-C: a long loop of the core run without the GIL. The job gets
// a cancel::Token and asks it at its check points. On the main thread, the only one where
// the interpreter runs signal handlers, those check points also give the handlers a turn
// every kSignalPoll (briefly taking the GIL back); an error they raise (KeyboardInterrupt)
// stops the job and is raised once the job has returned. On a thread of a pool (pool.hpp),
// the job stops when the pool is interrupted or given up, and KeyboardInterrupt is raised.
// Whatever the job produced by then is dropped.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <type_traits>
#include <utility>

#include "common/gil.hpp"
#include "common/py.hpp"
#include "core/cancel.hpp"

namespace brivel::interrupt {

inline constexpr std::chrono::milliseconds kSignalPoll{50};

// The stop of the pool task this thread is running, or null.
std::shared_ptr<const cancel::Token> ambient();

// Makes `stop` the ambient stop of this thread while it runs one pool task.
class TaskScope {
  public:
    explicit TaskScope(std::shared_ptr<const cancel::Token> stop);
    ~TaskScope();
    TaskScope(const TaskScope&) = delete;
    TaskScope& operator=(const TaskScope&) = delete;

  private:
    std::shared_ptr<const cancel::Token> previous_;
};

// Raises KeyboardInterrupt, for work whose pool stopped it.
[[noreturn]] void raise_stopped();

// The pool this thread works for is stopped: no request or retry of its task starts any
// more, and a failure it meets is the interrupt's.
bool stopped();
// Raises KeyboardInterrupt when stopped().
void raise_if_stopped();

// time.sleep(seconds), with time.sleep looked up at each use. The interpreter's own sleep is
// replaced by a run() of a wait, which a stop of the pool or a Ctrl-C ends at once (also one
// that lands on another thread than the main one): a back-off of up to half a minute must not
// hold an interrupted call. A replaced time.sleep is called as it is.
void sleep(py::handle seconds);

// The state of one run() call; made and finished with the GIL held.
class Job {
  public:
    Job();  // raises at once when the ambient stop is already requested
    Job(const Job&) = delete;
    Job& operator=(const Job&) = delete;

    const cancel::Token& token() const { return token_; }
    // Raises the signal handler's error, or KeyboardInterrupt when the pool stopped the job.
    void finish();

    // Held on the calling thread, without the GIL, while the job runs.
    class Running {
      public:
        explicit Running(Job& job);

      private:
        std::optional<cancel::Watch> watch_;
    };

  private:
    cancel::Token token_;
    bool signals_;  // this thread runs the signal handlers
    std::optional<py::error_already_set> error_;

    static bool check_signals(void* job) noexcept;
};

// Runs `job(token)` without the GIL and returns its result, with the rules above.
template <class F>
decltype(auto) run(F&& job) {
    Job state;
    using R = std::invoke_result_t<F&, const cancel::Token&>;
    if constexpr (std::is_void_v<R>) {
        {
            gil::Release nogil;
            Job::Running running(state);
            job(state.token());
        }
        state.finish();
    } else {
        std::optional<R> result;
        {
            gil::Release nogil;
            Job::Running running(state);
            result.emplace(job(state.token()));
        }
        state.finish();
        return R(std::move(*result));
    }
}

}  // namespace brivel::interrupt
