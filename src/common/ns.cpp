#include "common/ns.hpp"

#include <string>
#include <vector>

#include "common/args.hpp"
#include "common/py.hpp"

namespace brivel::ns {
namespace {

struct Namespace {
    // A strong reference to the module dict, deliberately never released: it must outlive
    // the module for worker threads still running at interpreter shutdown.
    PyObject* dict = nullptr;
    std::string name;
    bool loaded = false;
    std::vector<void (*)()> resets;
};

Namespace& space() {
    static Namespace* n = new Namespace();  // lives for the process, like the module
    return *n;
}

// The namespace dict; a function kept from a module body that failed finds none.
PyObject* namespace_dict() {
    PyObject* d = space().dict;
    if (!d) {
        PyErr_SetString(PyExc_RuntimeError, "the module's body did not complete: import it again");
        throw py::error_already_set();
    }
    return d;
}

}  // namespace

void bind(py::module_ m) {
    Namespace& n = space();
    PyObject* d = PyModule_GetDict(m.ptr());
    if (d == n.dict) return;
    Py_INCREF(d);
    Py_XSETREF(n.dict, d);
    n.name = py::cast<std::string>(m.attr("__name__"));
}

bool loaded() { return space().loaded; }

void mark_loaded() { space().loaded = true; }

void reset() {
    Namespace& n = space();
    for (auto fn : n.resets) fn();
    Py_CLEAR(n.dict);
    n.name.clear();
    n.loaded = false;
}

void on_reset(void (*fn)()) { space().resets.push_back(fn); }

py::dict dict() { return py::reinterpret_borrow<py::dict>(namespace_dict()); }

const char* module_name() { return space().name.c_str(); }

py::object get(const char* name) {
    PyObject* v = PyDict_GetItemString(namespace_dict(), name);  // borrowed
    if (!v) {
        PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
        throw py::error_already_set();
    }
    return py::reinterpret_borrow<py::object>(v);
}

long long get_int(const char* name) { return args::to_long_long(get(name)); }

bool get_bool(const char* name) { return args::truthy(get(name)); }

void set(const char* name, py::handle value) {
    if (PyDict_SetItemString(namespace_dict(), name, value.ptr()) < 0) throw py::error_already_set();
}

py::object import(const char* name) { return py::module_::import(name); }

}  // namespace brivel::ns
