// The pybind11 include and the smallest helpers of the Python-facing code. The native core
// (src/core) never includes this.
#pragma once

#include <pybind11/pybind11.h>

#include <string_view>

namespace py = pybind11;

namespace brivel {

// The new reference a C API call returned, or its error raised as a C++ exception.
template <class T = py::object>
T steal_or_throw(PyObject* result) {
    if (!result) throw py::error_already_set();
    return py::reinterpret_steal<T>(result);
}

// str(value) as the interpreter computes it (a str subclass becomes a plain str).
inline py::str to_str(py::handle value) { return steal_or_throw<py::str>(PyObject_Str(value.ptr())); }

// a + b for two str objects.
inline py::str concat(py::handle a, py::handle b) {
    return steal_or_throw<py::str>(PyUnicode_Concat(a.ptr(), b.ptr()));
}

// list(items): always a new list. py::list(obj) is no copy: of a list it is the same object.
inline py::list new_list(py::handle items) { return steal_or_throw<py::list>(PySequence_List(items.ptr())); }

// obj.name() without arguments.
inline py::object call_method(py::handle obj, const char* name) { return obj.attr(name)(); }

// int(value) as the interpreter computes it (True becomes 1, a float is cut toward zero).
inline py::int_ to_int(py::handle value) { return steal_or_throw<py::int_>(PyNumber_Long(value.ptr())); }

// a / b: the path `a` joined with `b` for path objects, true division for numbers.
inline py::object divide(py::handle a, py::handle b) {
    return steal_or_throw(PyNumber_TrueDivide(a.ptr(), b.ptr()));
}

// `item in container`.
inline bool contains(py::handle container, py::handle item) {
    int r = PySequence_Contains(container.ptr(), item.ptr());
    if (r < 0) throw py::error_already_set();
    return r != 0;
}

// The attribute `name` of the type or its bases as the interpreter's method cache finds it,
// unbound and borrowed; null, with no error set, when absent.
inline PyObject* type_lookup(PyTypeObject* type, PyObject* name) { return _PyType_Lookup(type, name); }

// The interned str of `text`, as the interpreter keeps attribute and keyword names.
inline py::str intern(const char* text) { return steal_or_throw<py::str>(PyUnicode_InternFromString(text)); }

// A tuple of str from a table of C strings.
template <std::size_t N>
py::tuple str_tuple(const char* const (&items)[N]) {
    py::tuple t(N);
    for (std::size_t i = 0; i < N; ++i) t[i] = py::str(items[i]);
    return t;
}

// File-system bytes decoded as os.fsdecode() does.
inline py::str fsdecode(std::string_view bytes) {
    return steal_or_throw<py::str>(PyUnicode_DecodeFSDefaultAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
}

}  // namespace brivel
