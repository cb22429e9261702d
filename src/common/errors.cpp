#include "common/errors.hpp"

#include <cerrno>

namespace brivel::errors {

void raise_errno(int err, py::handle filename) {
    errno = err;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filename.ptr());
    throw py::error_already_set();
}

}  // namespace brivel::errors
