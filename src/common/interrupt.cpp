#include "common/interrupt.hpp"

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
