#include "common/pool.hpp"

#include <optional>

#include "common/ns.hpp"

namespace brivel::pool {

using namespace pybind11::literals;

Pool::Pool(py::handle max_workers, const char* thread_name_prefix) {
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
    executor_.attr("shutdown")("wait"_a = true, "cancel_futures"_a = cancel_queued);
}

void Pool::abandon() {
    shut_ = true;
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
