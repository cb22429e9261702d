// The one thread-pool convention of every module: a concurrent.futures.ThreadPoolExecutor
// per call, every task submitted, then every task waited for and the first failure raised.
// An interrupt (KeyboardInterrupt, SystemExit: any exception that is not an Exception),
// from a task or from the waiting thread, cancels the tasks that have not started, stops the
// native jobs (interrupt.hpp) of the running ones, waits for them and propagates at once.
#pragma once

#include <memory>
#include <utility>
#include <vector>

#include "common/py.hpp"
#include "core/cancel.hpp"

namespace brivel::pool {

class Pool {
  public:
    // ThreadPoolExecutor(max_workers=max_workers[, thread_name_prefix=prefix]).
    explicit Pool(py::handle max_workers, const char* thread_name_prefix = nullptr);
    ~Pool();  // only reached unfinished when a C++ exception left the submitter
    Pool(const Pool&) = delete;
    Pool& operator=(const Pool&) = delete;

    // executor.submit(fn, *args), run with the pool's stop as the thread's ambient one; the
    // future is kept for wait().
    template <class... Args>
    py::object submit(py::handle fn, Args&&... args) {
        py::object f = executor_.attr("submit")(runner_, fn, std::forward<Args>(args)...);
        futures_.append(f);
        return f;
    }

    // Waits for every submitted task in completion order; an interrupt is raised at once,
    // an ordinary failure once all have ended: the first to happen, or with `input_order`
    // the first in submission order.
    void wait(bool input_order = false);
    // The results of the tasks in submission order (wait() first).
    py::list results() const;
    // Shuts the executor down: waits for running tasks, and cancels queued ones (and stops
    // the running ones' native jobs) if asked.
    void shutdown(bool cancel_queued);
    // Shuts the executor down without waiting: queued tasks are cancelled, a running one is
    // stopped as above and ends on its own, its result dropped (a look-ahead that is no
    // longer wanted).
    void abandon();

  private:
    std::shared_ptr<cancel::Token> stop_;  // stops with the creating thread's own task
    py::object runner_;                    // runner_(fn, *args): fn(*args) under stop_
    py::object executor_;
    py::list futures_;
    bool shut_ = false;
};

// Runs `submit(pool)` and waits for everything it submitted, with the rules above: on any
// error raised while submitting or waiting, the pool is shut down (queued work cancelled
// for an interrupt) before the error propagates.
template <class Submit>
void run(py::handle max_workers, Submit&& submit, const char* thread_name_prefix = nullptr) {
    Pool pool(max_workers, thread_name_prefix);
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
