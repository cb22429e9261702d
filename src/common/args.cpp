#include "common/args.hpp"
#include <cstring>

namespace brivel::args {
namespace {

const char* short_name(PyTypeObject* t) {
    // Built-in and extension types carry a dotted tp_name; report the last component,
    // as the interpreter does for Python classes.
    const char* dot = std::strrchr(t->tp_name, '.');
    return dot ? dot + 1 : t->tp_name;
}

bool is_number(py::handle v) {
    PyNumberMethods* nb = Py_TYPE(v.ptr())->tp_as_number;
    return nb && (nb->nb_index || nb->nb_int || nb->nb_float);
}

}  // namespace

void wrong_type(py::handle value, const char* expected, const char* name, bool subclass) {
    const char* got = short_name(Py_TYPE(value.ptr()));
    if (subclass) {
        PyErr_Format(PyExc_TypeError,
                     "Argument '%.200s' has incorrect type (expected %.200s, got %.200s). "
                     "Subclasses of built-in types are not accepted here; pass a plain %.200s.",
                     name, expected, got, expected);
    } else {
        PyErr_Format(PyExc_TypeError,
                     "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                     name, expected, got);
    }
    throw py::error_already_set();
}

void exact(py::handle value, PyTypeObject* type, const char* name, bool optional) {
    if (Py_IS_TYPE(value.ptr(), type)) return;
    if (optional && value.is_none()) return;
    wrong_type(value, short_name(type), name, PyObject_TypeCheck(value.ptr(), type));
}

void instance(py::handle value, py::handle cls, const char* name, bool optional) {
    if (optional && value.is_none()) return;
    int ok = PyObject_IsInstance(value.ptr(), cls.ptr());
    if (ok < 0) throw py::error_already_set();
    if (ok) return;
    wrong_type(value, short_name(reinterpret_cast<PyTypeObject*>(cls.ptr())), name, false);
}

void not_one_string(py::handle value, const char* what, const char* expected) {
    if (!PyUnicode_Check(value.ptr()) && !PyBytes_Check(value.ptr())) return;
    PyErr_Format(PyExc_TypeError, "%s must be %s, not a single %.200s", what, expected, Py_TYPE(value.ptr())->tp_name);
    throw py::error_already_set();
}

void wrong_record(py::handle value, const char* what, const char* expected) {
    PyErr_Format(PyExc_TypeError, "%s must be %s, not %.200s", what, expected, Py_TYPE(value.ptr())->tp_name);
    throw py::error_already_set();
}

py::object to_int(py::handle value, const char* name, bool optional) {
    if (PyLong_CheckExact(value.ptr())) return py::reinterpret_borrow<py::object>(value);
    if (optional && value.is_none()) return py::none();
    if (!is_number(value)) wrong_type(value, "int", name, false);
    return brivel::to_int(value);
}

py::object to_float(py::handle value, const char* name, bool optional) {
    if (PyFloat_CheckExact(value.ptr())) return py::reinterpret_borrow<py::object>(value);
    if (optional && value.is_none()) return py::none();
    if (!is_number(value)) wrong_type(value, "float", name, false);
    return steal_or_throw(PyNumber_Float(value.ptr()));
}

py::object expect(py::object value, PyTypeObject* type, bool none_ok) {
    if ((none_ok && value.is_none()) || Py_IS_TYPE(value.ptr(), type)) return value;
    PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", short_name(type),
                 short_name(Py_TYPE(value.ptr())));
    throw py::error_already_set();
}

bool truthy(py::handle value) {
    int r = PyObject_IsTrue(value.ptr());
    if (r < 0) throw py::error_already_set();
    return r != 0;
}

long long to_long_long(py::handle value) {
    long long r = PyLong_AsLongLong(value.ptr());
    if (r == -1 && PyErr_Occurred()) throw py::error_already_set();
    return r;
}

}  // namespace brivel::args
