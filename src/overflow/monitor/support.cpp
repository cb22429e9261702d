#include "overflow/monitor/support.hpp"

namespace brivel::overflow {

using namespace pybind11::literals;

py::object from_import(const char* module, const char* name) {
    py::object mod = ns::import(module);
    PyObject* v = PyObject_GetAttrString(mod.ptr(), name);
    if (!v) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%s'", name, module);
        }
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::object>(v);
}

py::str format(py::handle value, const char* spec) {
    PyObject* s = PyObject_Format(value.ptr(), py::str(spec).ptr());
    if (!s) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(s);
}

py::object new_lock() { return ns::get("threading").attr("Lock")(); }

py::object new_thread(py::handle target, const char* name) {
    py::object cls = ns::get("threading").attr("Thread");
    return name ? cls("target"_a = target, "daemon"_a = true, "name"_a = name)
                : cls("target"_a = target, "daemon"_a = true);
}

}  // namespace brivel::overflow
