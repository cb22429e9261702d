#include "common/fspath.hpp"

namespace brivel {

FsPath fs_path(py::handle path) {
    PyObject* fspath = PyOS_FSPath(path.ptr());
    if (!fspath) throw py::error_already_set();
    py::object name = py::reinterpret_steal<py::object>(fspath);
    PyObject* raw = nullptr;
    if (!PyUnicode_FSConverter(name.ptr(), &raw)) throw py::error_already_set();
    return FsPath{std::move(name), py::reinterpret_steal<py::bytes>(raw)};
}

}  // namespace brivel
