#include "common/interrupt.hpp"

#include <algorithm>
#include <cstring>
#include <thread>

#include "common/ns.hpp"

namespace brivel::interrupt {

namespace {

thread_local std::shared_ptr<const cancel::Token> current;

}  // namespace

std::shared_ptr<const cancel::Token> ambient() { return current; }

TaskScope::TaskScope(std::shared_ptr<const cancel::Token> stop) : previous_(std::move(current)) {
    current = std::move(stop);
}

TaskScope::~TaskScope() { current = std::move(previous_); }

void raise_stopped() {
    PyErr_SetNone(PyExc_KeyboardInterrupt);
    throw py::error_already_set();
}

bool stopped() { return current && current->requested(); }

void raise_if_stopped() {
    if (stopped()) raise_stopped();
}

namespace {

// The interpreter's own time.sleep, not a replacement (a test's recorder, say).
bool is_time_sleep(py::handle fn, py::handle time) {
    if (!PyCFunction_Check(fn.ptr()) || PyCFunction_GET_SELF(fn.ptr()) != time.ptr()) return false;
    return std::strcmp(reinterpret_cast<PyCFunctionObject*>(fn.ptr())->m_ml->ml_name, "sleep") == 0;
}

}  // namespace

void sleep(py::handle seconds) {
    py::object time = ns::import("time");
    py::object fn = time.attr("sleep");
    if (!is_time_sleep(fn, time)) {
        fn(seconds);
        raise_if_stopped();
        return;
    }
    const double s = py::cast<double>(seconds);
    if (!(s >= 0)) {
        fn(seconds);  // the interpreter's own error for a negative or NaN time
        return;
    }
    using Clock = std::chrono::steady_clock;
    const Clock::time_point until =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(std::min(s, 1e9)));
    run([&](const cancel::Token& stop) {
        for (Clock::time_point now = Clock::now(); now < until && !stop.stopped(); now = Clock::now())
            std::this_thread::sleep_for(std::min<Clock::duration>(kSignalPoll, until - now));
    });
}

Job::Job() : token_(current), signals_(_PyOS_IsMainThread() != 0) {
    if (token_.requested()) raise_stopped();
}

void Job::finish() {
    if (error_) {
        py::error_already_set e = std::move(*error_);
        error_.reset();
        throw e;
    }
    if (token_.requested()) raise_stopped();
}

Job::Running::Running(Job& job) {
    if (job.signals_) watch_.emplace(job.token_, &Job::check_signals, &job, kSignalPoll);
}

bool Job::check_signals(void* p) noexcept {
    auto* job = static_cast<Job*>(p);
    if (job->error_) return true;  // one error is enough; the job is on its way out
    try {
        gil::Acquire held;
        if (PyErr_CheckSignals() == 0) return false;
        job->error_.emplace();  // takes the handler's error
    } catch (...) {
        // No room to keep the error: the job still stops, with KeyboardInterrupt.
    }
    return true;
}

}  // namespace brivel::interrupt
