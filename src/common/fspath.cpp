#include "common/fspath.hpp"

#include <string>

#include "common/args.hpp"

namespace brivel::fspath {

Encoded encode(py::handle path) {
    Encoded out{steal_or_throw(PyOS_FSPath(path.ptr())), {}};
    PyObject* name = out.name.ptr();
    if (PyUnicode_CheckExact(name) && PyUnicode_IS_ASCII(name)) {
        // ASCII text has the same bytes in every file-system encoding of a POSIX system;
        // only a NUL needs the converter's error.
        const char* data = static_cast<const char*>(PyUnicode_DATA(name));
        std::size_t n = static_cast<std::size_t>(PyUnicode_GET_LENGTH(name));
        if (std::char_traits<char>::find(data, n, '\0') == nullptr) {
            out.bytes.assign(data, n);
            return out;
        }
    }
    PyObject* raw = nullptr;
    if (!PyUnicode_FSConverter(out.name.ptr(), &raw)) throw py::error_already_set();
    py::bytes encoded = py::reinterpret_steal<py::bytes>(raw);
    out.bytes.assign(PyBytes_AS_STRING(encoded.ptr()), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.ptr())));
    return out;
}

py::str text(py::handle path, const char* name) {
    PyObject* got = PyOS_FSPath(path.ptr());
    if (got && PyUnicode_Check(got)) return py::reinterpret_steal<py::str>(got);
    Py_XDECREF(got);
    if (!got && !PyErr_ExceptionMatches(PyExc_TypeError)) throw py::error_already_set();
    PyErr_Clear();
    args::wrong_type(path, "str or os.PathLike", name);
}

}  // namespace brivel::fspath
