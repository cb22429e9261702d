#include "common/ns.hpp"

#include <string>

namespace brivel::ns {
namespace {

// A strong reference to the module dict, deliberately never released: it must outlive
// the module for worker threads still running at interpreter shutdown.
PyObject* g_dict = nullptr;
std::string g_name;

}  // namespace

void bind(py::module_ m) {
    PyObject* d = PyModule_GetDict(m.ptr());
    Py_INCREF(d);
    Py_XSETREF(g_dict, d);
    g_name = py::cast<std::string>(m.attr("__name__"));
}

py::dict dict() { return py::reinterpret_borrow<py::dict>(g_dict); }

const char* module_name() { return g_name.c_str(); }

py::object get(const char* name) {
    PyObject* v = PyDict_GetItemString(g_dict, name);  // borrowed
    if (!v) {
        PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
        throw py::error_already_set();
    }
    return py::reinterpret_borrow<py::object>(v);
}

long long get_int(const char* name) {
    py::object v = get(name);
    long long r = PyLong_AsLongLong(v.ptr());
    if (r == -1 && PyErr_Occurred()) throw py::error_already_set();
    return r;
}

bool get_bool(const char* name) {
    int r = PyObject_IsTrue(get(name).ptr());
    if (r < 0) throw py::error_already_set();
    return r != 0;
}

void set(const char* name, py::handle value) {
    if (PyDict_SetItemString(g_dict, name, value.ptr()) < 0) throw py::error_already_set();
}

py::object import(const char* name) { return py::module_::import(name); }

}  // namespace brivel::ns
