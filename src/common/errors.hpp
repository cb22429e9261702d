#pragma once

#include "common/py.hpp"

namespace brivel::errors {

// Raises the OSError subclass the interpreter picks for `err`, carrying `filename`.
[[noreturn]] void raise_errno(int err, py::handle filename);

// Sets the Python error for the C++ exception being handled; call only inside a catch
// block. A Python error is restored unchanged; another C++ exception becomes `fallback`.
void set_error_from_current(PyObject* fallback);

// An ordinary exception: an Exception subclass, not KeyboardInterrupt, SystemExit and the like.
inline bool ordinary(const py::error_already_set& e) { return e.matches(PyExc_Exception); }

// Best-effort steps: an ordinary exception is swallowed, anything else propagates.
template <class F>
void ignore_errors(F&& f) {
    try {
        f();
    } catch (py::error_already_set& e) {
        if (!ordinary(e)) throw;
    }
}

}  // namespace brivel::errors
