#include "common/fspath.hpp"

namespace brivel::fspath {

Encoded encode(py::handle path) {
    PyObject* fspath = PyOS_FSPath(path.ptr());
    if (!fspath) throw py::error_already_set();
    Encoded out{py::reinterpret_steal<py::object>(fspath), {}};
    PyObject* raw = nullptr;
    if (!PyUnicode_FSConverter(out.name.ptr(), &raw)) throw py::error_already_set();
    py::bytes encoded = py::reinterpret_steal<py::bytes>(raw);
    out.bytes.assign(PyBytes_AS_STRING(encoded.ptr()), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.ptr())));
    return out;
}

}  // namespace brivel::fspath
