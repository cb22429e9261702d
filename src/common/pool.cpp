#include "common/pool.hpp"

#include <optional>

#include "common/interrupt.hpp"
#include "common/ns.hpp"

namespace brivel::pool {

using namespace pybind11::literals;

namespace {

// Runs one task on a worker thread with `stop` as that thread's ambient stop; a task that
// starts once the pool is stopped does not run.
py::object run_task(const std::shared_ptr<const cancel::Token>& stop, py::args a) {
    interrupt::TaskScope scope(stop);
    if (stop->requested()) interrupt::raise_stopped();
    py::tuple rest = steal_or_throw<py::tuple>(PyTuple_GetSlice(a.ptr(), 1, PY_SSIZE_T_MAX));
    return steal_or_throw(PyObject_Call(PyTuple_GET_ITEM(a.ptr(), 0), rest.ptr(), nullptr));
}

}  // namespace

Pool::Pool(py::handle max_workers, const char* thread_name_prefix)
    : stop_(std::make_shared<cancel::Token>(interrupt::ambient())) {
    std::shared_ptr<const cancel::Token> stop = stop_;
    runner_ = py::cpp_function([stop](py::args a) { return run_task(stop, std::move(a)); }, py::name("_task"));
    py::object cls = ns::import("concurrent.futures").attr("ThreadPoolExecutor");
    executor_ = thread_name_prefix ? cls("max_workers"_a = max_workers, "thread_name_prefix"_a = thread_name_prefix)
                                   : cls("max_workers"_a = max_workers);
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

void Pool::wait(bool input_order) {
    std::optional<py::error_already_set> first;
    for (py::handle f : ns::import("concurrent.futures").attr("as_completed")(futures_)) {
        try {
            f.attr("result")();
        } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_Exception)) throw;
            if (!first) first = std::move(e);
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

void Pool::shutdown(bool cancel_queued) {
    shut_ = true;
    if (cancel_queued) stop_->request();
    executor_.attr("shutdown")("wait"_a = true, "cancel_futures"_a = cancel_queued);
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
