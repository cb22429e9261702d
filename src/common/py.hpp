// Python-facing code includes this; hot loops (digest.hpp, files.hpp) do not.
#pragma once

#include <pybind11/pybind11.h>

namespace py = pybind11;

namespace brivel {

// str(value) as the interpreter computes it (a str subclass becomes a plain str).
inline py::str to_str(py::handle value) {
    PyObject* s = PyObject_Str(value.ptr());
    if (!s) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(s);
}

// a + b for two str objects.
inline py::str concat(py::handle a, py::handle b) {
    PyObject* r = PyUnicode_Concat(a.ptr(), b.ptr());
    if (!r) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(r);
}

// obj.name() without arguments.
inline py::object call_method(py::handle obj, const char* name) { return obj.attr(name)(); }

// int(value) as the interpreter computes it (True becomes 1, a float is cut toward zero).
inline py::int_ to_int(py::handle value) {
    PyObject* i = PyNumber_Long(value.ptr());
    if (!i) throw py::error_already_set();
    return py::reinterpret_steal<py::int_>(i);
}

}  // namespace brivel
