#pragma once

#include "common/py.hpp"

namespace brivel::errors {

// The OSError the interpreter builds for `err` (its subclass: FileNotFoundError for ENOENT,
// ...), carrying `filename` unless that is a null handle, and `text` in place of the
// system's message for `err` when given.
py::object os_error(int err, py::handle filename, const char* text = nullptr);

// Raises that OSError.
[[noreturn]] void raise_errno(int err, py::handle filename);

// Raises OSError(EINVAL, "Not a regular file", filename): a pipe, socket or device where a
// regular file is to be written (opening a pipe would wait for a reader).
[[noreturn]] void raise_not_regular(py::handle filename);

// Sets the Python error for the C++ exception being handled; call only inside a catch
// block. A Python error is restored unchanged; std::bad_alloc becomes MemoryError; another
// C++ exception becomes `fallback`.
void set_error_from_current(PyObject* fallback);

// An ordinary exception: an Exception subclass, not KeyboardInterrupt, SystemExit and the like.
inline bool ordinary(const py::error_already_set& e) { return e.matches(PyExc_Exception); }

// A step whose failure must not fail the operation: an ordinary exception is swallowed,
// anything else (KeyboardInterrupt, SystemExit) propagates.
template <class F>
void best_effort(F&& f) {
    try {
        f();
    } catch (py::error_already_set& e) {
        if (!ordinary(e)) throw;
    }
}

}  // namespace brivel::errors
