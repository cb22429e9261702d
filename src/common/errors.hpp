#pragma once

#include "common/py.hpp"

namespace brivel::errors {

// Raises the OSError subclass the interpreter picks for `err`, carrying `filename`.
[[noreturn]] void raise_errno(int err, py::handle filename);

// Sets the Python error for the C++ exception being handled; call only inside a catch
// block. A Python error is restored unchanged; another C++ exception becomes `fallback`.
void set_error_from_current(PyObject* fallback);

}  // namespace brivel::errors

namespace brivel::errors {

// Best-effort steps: an ordinary exception (an Exception subclass) is swallowed;
// KeyboardInterrupt, SystemExit and the like propagate.
template <class F>
void ignore_errors(F&& f) {
    try {
        f();
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) throw;
    }
}

}  // namespace brivel::errors
