// Thread pools of the modules' calls: a concurrent.futures.ThreadPoolExecutor per call,
// every task submitted, then every task waited for and the first failure raised.
// An interrupt (KeyboardInterrupt, SystemExit: any exception that is not an Exception),
// from a task or from the waiting thread, stops the pool: no queued task starts, the native
// jobs (interrupt.hpp) and the retries of the running ones stop, the requests they have in
// flight are broken off, and the running tasks are waited for, briefly and without
// answering a further Ctrl-C, before the interrupt propagates. Every wait answers Ctrl-C
// (interrupt::run), even when the signal lands on another thread than the waiting one.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include "common/py.hpp"
#include "core/cancel.hpp"

namespace brivel::pool {

// How long a stopped pool waits for its running tasks before the interrupt leaves without
// them (they end on their own: every request and retry of theirs is stopped).
inline constexpr std::chrono::milliseconds kDrainLimit{1500};

// Breaks off the requests that the pool's tasks have in flight (net::break_off on the
// clients they use); called when the pool is stopped.
using BreakOff = std::function<void()>;

struct Tasks;

class Pool {
  public:
    // ThreadPoolExecutor(max_workers=max_workers).
    explicit Pool(py::handle max_workers, BreakOff break_off = {});
    ~Pool();  // only reached unfinished when a C++ exception left the submitter
    Pool(const Pool&) = delete;
    Pool& operator=(const Pool&) = delete;

    // executor.submit(fn, *args), run with the pool's stop as the thread's ambient one; the
    // future is kept for wait(). Raises KeyboardInterrupt once the pool that this thread
    // works for is stopped, and the interrupt of a task once one has stopped this pool.
    template <class... Args>
    py::object submit(py::handle fn, Args&&... args) {
        refuse_when_stopped();
        py::int_ index(PyList_GET_SIZE(futures_.ptr()));
        py::object f = executor_.attr("submit")(runner_, index, fn, std::forward<Args>(args)...);
        futures_.append(f);
        return f;
    }

    // Waits for every submitted task not yet collected, in completion order; an interrupt is
    // raised at once, an ordinary failure once all have ended: the first to happen, or with
    // `input_order` the first in submission order.
    void wait(bool input_order = false);
    // The futures of the tasks that have ended since the last call, once there is one.
    std::vector<py::object> collect();
    // The result of `future`, the pool's only task in flight, once it has ended.
    py::object result(py::handle future);
    // The results of the tasks in submission order (wait() first).
    py::list results() const;
    // Shuts the executor down. With `stop` the pool is stopped as an interrupt stops it;
    // without, every task runs to its end (an interrupt meanwhile stops the pool).
    void shutdown(bool stop);
    // Shuts the executor down without waiting: queued tasks are cancelled, a running one is
    // stopped as above and ends on its own, its result dropped (a look-ahead that is no
    // longer wanted).
    void abandon();

  private:
    std::shared_ptr<cancel::Token> stop_;  // stops with the creating thread's own task
    // The tasks' progress, kept natively: the waits need neither the GIL nor the
    // interpreter's joins, which a Ctrl-C breaks off and which miss a signal that lands on
    // another thread.
    std::shared_ptr<Tasks> tasks_;
    BreakOff break_off_;
    py::object runner_;  // runner_(index, fn, *args): fn(*args) under stop_
    py::object executor_;
    py::list futures_;
    std::size_t collected_ = 0;  // futures handed out by collect()
    bool shut_ = false;

    void refuse_when_stopped() const;
    void stop_and_drain();
};

// Runs `submit(pool)` and waits for everything it submitted, with the rules above: on any
// error raised while submitting or waiting, the pool is shut down (and stopped, for an
// interrupt) before the error propagates.
template <class Submit>
void run(py::handle max_workers, Submit&& submit, BreakOff break_off = {}) {
    Pool pool(max_workers, std::move(break_off));
    try {
        submit(pool);
        pool.wait();
    } catch (py::error_already_set& e) {
        pool.shutdown(!e.matches(PyExc_Exception));
        throw;
    }
    pool.shutdown(false);
}

// executor.map(fn, items) made whole: every result in input order, or the first failure in
// input order once every call has ended.
py::list map(py::handle max_workers, py::handle fn, py::handle items);

}  // namespace brivel::pool
