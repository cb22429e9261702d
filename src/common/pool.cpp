#include "common/pool.hpp"

#include <condition_variable>
#include <mutex>
#include <optional>

#include "common/gil.hpp"
#include "common/interrupt.hpp"
#include "common/net.hpp"
#include "common/ns.hpp"

namespace brivel::pool {

using namespace pybind11::literals;

// Shared by the pool and its tasks, which may outlive it (a stopped pool leaves tasks that
// do not end in time).
struct Tasks {
    std::mutex m;
    std::condition_variable changed;
    int running = 0;
    std::size_t ended_in_all = 0;
    std::vector<std::size_t> ended;  // indices of the tasks ended and not yet collected
    // The interrupt a task raised, which stopped the pool (under the GIL): the waiting thread
    // raises it rather than the KeyboardInterrupt of a task that the stop then refused.
    py::object interrupt;

    [[noreturn]] void raise_interrupt() const {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(interrupt.ptr())), interrupt.ptr());
        throw py::error_already_set();
    }

    // Waits until `done()` holds (under the lock), answering Ctrl-C as interrupt::run does.
    template <class Done>
    void await(Done done) {
        interrupt::run([&](const cancel::Token& stop) {
            for (;;) {
                {
                    std::unique_lock<std::mutex> hold(m);
                    if (changed.wait_for(hold, interrupt::kSignalPoll, done)) return;
                }
                // Outside the lock: looking at the signals takes the GIL, which a task that
                // ends may hold while it waits for the lock.
                if (stop.stopped(true)) return;
            }
        });
    }
};

namespace {

// How often a stopped pool breaks off requests again while it waits: a task may have
// opened a connection after the last time.
constexpr std::chrono::milliseconds kBreakOffAgain{100};

// Counts one task as running; at its end it is entered as ended, whatever happened.
class Counted {
  public:
    Counted(Tasks& tasks, std::size_t index) : tasks_(tasks), index_(index) {
        std::lock_guard<std::mutex> hold(tasks_.m);
        ++tasks_.running;
    }
    ~Counted() {
        {
            std::lock_guard<std::mutex> hold(tasks_.m);
            --tasks_.running;
            ++tasks_.ended_in_all;
            tasks_.ended.push_back(index_);
        }
        tasks_.changed.notify_all();
    }
    Counted(const Counted&) = delete;
    Counted& operator=(const Counted&) = delete;

  private:
    Tasks& tasks_;
    std::size_t index_;
};

// Runs one task on a worker thread with `stop` as that thread's ambient stop; a task that
// starts once the pool is stopped does not run, and one that raises an interrupt stops the
// pool at once, before the waiting thread has even seen it.
py::object run_task(const std::shared_ptr<cancel::Token>& stop, Tasks& tasks, py::args a) {
    Counted counted(tasks, py::cast<std::size_t>(a[0]));
    interrupt::TaskScope scope(stop);
    if (stop->requested()) interrupt::raise_stopped();
    py::tuple rest = steal_or_throw<py::tuple>(PyTuple_GetSlice(a.ptr(), 2, PY_SSIZE_T_MAX));
    try {
        return steal_or_throw(PyObject_Call(PyTuple_GET_ITEM(a.ptr(), 1), rest.ptr(), nullptr));
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception) && !tasks.interrupt) {
            tasks.interrupt = e.value();
            stop->request();
        }
        throw;
    }
}

}  // namespace

Pool::Pool(py::handle max_workers, BreakOff break_off)
    : stop_(std::make_shared<cancel::Token>(interrupt::ambient())),
      tasks_(std::make_shared<Tasks>()),
      break_off_(std::move(break_off)) {
    std::shared_ptr<cancel::Token> stop = stop_;
    std::shared_ptr<Tasks> tasks = tasks_;
    runner_ = py::cpp_function([stop, tasks](py::args a) { return run_task(stop, *tasks, std::move(a)); },
                               py::name("_task"));
    executor_ = ns::import("concurrent.futures").attr("ThreadPoolExecutor")("max_workers"_a = max_workers);
}

Pool::~Pool() {
    if (shut_) return;
    // A C++ exception is on its way out: stop the queue without raising from here.
    py::error_scope keep;
    try {
        shutdown(true);
    } catch (py::error_already_set&) {
    }
}

void Pool::refuse_when_stopped() const {
    interrupt::raise_if_stopped();  // the pool this thread works for
    if (tasks_->interrupt) tasks_->raise_interrupt();
}

std::vector<py::object> Pool::collect() {
    std::vector<std::size_t> ended;
    Tasks& tasks = *tasks_;
    tasks.await([&] {
        if (tasks.ended.empty()) return false;
        ended.swap(tasks.ended);
        return true;
    });
    collected_ += ended.size();
    std::vector<py::object> out;
    out.reserve(ended.size());
    for (std::size_t i : ended) out.push_back(futures_[i]);
    return out;
}

py::object Pool::result(py::handle future) {
    for (;;)
        for (const py::object& f : collect())
            if (f.is(future)) return f.attr("result")();
}

void Pool::wait(bool input_order) {
    std::optional<py::error_already_set> first;
    while (collected_ < static_cast<std::size_t>(PyList_GET_SIZE(futures_.ptr()))) {
        for (const py::object& f : collect()) {
            try {
                f.attr("result")();
            } catch (py::error_already_set& e) {
                if (!e.matches(PyExc_Exception)) {
                    if (tasks_->interrupt) tasks_->raise_interrupt();
                    throw;
                }
                if (!first) first = std::move(e);
            }
        }
    }
    if (!first) return;
    if (input_order) results();  // raises the failure of the earliest submitted task
    throw std::move(*first);
}

py::list Pool::results() const {
    py::list out;
    for (py::handle f : futures_) out.append(f.attr("result")());
    return out;
}

void Pool::stop_and_drain() {
    stop_->request();
    if (break_off_) break_off_();
    {
        py::error_scope keep;  // a second Ctrl-C here must not cut the drain short
        try {
            executor_.attr("shutdown")("wait"_a = false, "cancel_futures"_a = true);
        } catch (py::error_already_set&) {
        }
    }
    Tasks& tasks = *tasks_;
    const auto deadline = std::chrono::steady_clock::now() + kDrainLimit;
    for (;;) {
        {
            gil::Release nogil;
            std::unique_lock<std::mutex> hold(tasks.m);
            const auto until = std::min(deadline, std::chrono::steady_clock::now() + kBreakOffAgain);
            if (tasks.changed.wait_until(hold, until, [&] { return tasks.running == 0; })) return;
        }
        if (std::chrono::steady_clock::now() >= deadline) return;
        if (break_off_) break_off_();
    }
}

void Pool::shutdown(bool stop) {
    shut_ = true;
    if (stop) return stop_and_drain();
    const auto submitted = static_cast<std::size_t>(PyList_GET_SIZE(futures_.ptr()));
    Tasks& tasks = *tasks_;
    try {
        tasks.await([&] { return tasks.ended_in_all >= submitted; });
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) stop_and_drain();
        throw;
    }
    executor_.attr("shutdown")("wait"_a = true);  // its threads are idle by now
}

void Pool::abandon() {
    shut_ = true;
    stop_->request();
    executor_.attr("shutdown")("wait"_a = false, "cancel_futures"_a = true);
}

py::list map(py::handle max_workers, py::handle fn, py::handle items) {
    py::list out;
    run(max_workers, [&](Pool& pool) {
        for (py::handle item : items) pool.submit(fn, item);
        pool.wait(true);
        out = pool.results();
    });
    return out;
}

}  // namespace brivel::pool
