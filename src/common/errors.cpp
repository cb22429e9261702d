#include "common/errors.hpp"

#include <cstring>
#include <new>

namespace brivel::errors {

py::object os_error(int err, py::handle filename) {
    const char* text = std::strerror(err);
    PyObject* e = filename ? PyObject_CallFunction(PyExc_OSError, "isO", err, text, filename.ptr())
                           : PyObject_CallFunction(PyExc_OSError, "is", err, text);
    return steal_or_throw(e);
}

void raise_errno(int err, py::handle filename) {
    py::object e = os_error(err, filename);
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(e.ptr())), e.ptr());
    throw py::error_already_set();
}

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
