#include "common/errors.hpp"

#include <cerrno>
#include <cstring>
#include <new>

namespace brivel::errors {

py::object os_error(int err, py::handle filename, const char* text) {
    if (!text) text = std::strerror(err);
    PyObject* e = filename ? PyObject_CallFunction(PyExc_OSError, "isO", err, text, filename.ptr())
                           : PyObject_CallFunction(PyExc_OSError, "is", err, text);
    return steal_or_throw(e);
}

namespace {

[[noreturn]] void raise_os_error(py::object e) {
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(e.ptr())), e.ptr());
    throw py::error_already_set();
}

}  // namespace

void raise_errno(int err, py::handle filename) { raise_os_error(os_error(err, filename)); }

void raise_not_regular(py::handle filename) { raise_os_error(os_error(EINVAL, filename, "Not a regular file")); }

void set_error_from_current(PyObject* fallback) {
    try {
        throw;
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (py::builtin_exception& e) {
        e.set_error();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(fallback, e.what());
    } catch (...) {
        PyErr_SetString(fallback, "unknown C++ exception");
    }
}

}  // namespace brivel::errors
