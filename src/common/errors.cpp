#include "common/errors.hpp"

#include <cerrno>

namespace brivel::errors {

void raise_errno(int err, py::handle filename) {
    errno = err;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filename.ptr());
    throw py::error_already_set();
}

void set_error_from_current(PyObject* fallback) {
    try {
        throw;
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (py::builtin_exception& e) {
        e.set_error();
    } catch (const std::exception& e) {
        PyErr_SetString(fallback, e.what());
    } catch (...) {
        PyErr_SetString(fallback, "unknown C++ exception");
    }
}

}  // namespace brivel::errors
