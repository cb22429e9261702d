#include "common/attr.hpp"

namespace brivel::attr {

py::object find(py::handle obj, const char* name) {
    PyObject* v = PyObject_GetAttrString(obj.ptr(), name);
    if (v) return py::reinterpret_steal<py::object>(v);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
    PyErr_Clear();
    return py::object();
}

}  // namespace brivel::attr
