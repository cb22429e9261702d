#include "common/pyclass.hpp"

namespace brivel::pyclass {

py::object new_class(const char* name, py::tuple bases) {
    if (bases.empty()) bases = py::make_tuple(py::reinterpret_borrow<py::object>((PyObject*)&PyBaseObject_Type));
    py::dict body;
    body["__module__"] = ns::module_name();
    body["__qualname__"] = name;
    return py::reinterpret_borrow<py::object>((PyObject*)&PyType_Type)(name, bases, body);
}

Fields::Fields(py::handle cls) : cls_(cls) { py::setattr(cls_, "__annotations__", annotations_); }

void Fields::annotate(const char* name, const char* annotation) { annotations_[name] = annotation; }

Fields& Fields::required(const char* name, const char* annotation) {
    annotate(name, annotation);
    return *this;
}

Fields& Fields::value(const char* name, const char* annotation, py::handle default_value) {
    annotate(name, annotation);
    py::setattr(cls_, name, default_value);
    return *this;
}

Fields& Fields::factory(const char* name, const char* annotation, py::handle default_factory) {
    annotate(name, annotation);
    py::object field = ns::import("dataclasses").attr("field");
    py::setattr(cls_, name, field(py::arg("default_factory") = default_factory));
    return *this;
}

py::object dataclass(py::handle cls) { return ns::import("dataclasses").attr("dataclass")(cls); }

namespace {

// The class's own __init__ (borrowed), or nullptr.
PyObject* own_init(py::handle cls) {
    static PyObject* const name = PyUnicode_InternFromString("__init__");  // kept for the process
    PyObject* found = PyDict_GetItemWithError(reinterpret_cast<PyTypeObject*>(cls.ptr())->tp_dict, name);
    if (!found && PyErr_Occurred()) throw py::error_already_set();
    return found;
}

}  // namespace

DirectInit::DirectInit(py::handle cls, py::tuple fields)
    : cls_(py::reinterpret_borrow<py::object>(cls)), init_(py::reinterpret_borrow<py::object>(own_init(cls))), fields_(std::move(fields)) {}

bool DirectInit::applies(py::handle cls) const {
    if (!cls_ || !cls.is(cls_) || !init_) return false;
    auto* type = reinterpret_cast<PyTypeObject*>(cls.ptr());
    if (type->tp_new != PyBaseObject_Type.tp_new || type->tp_setattro != PyObject_GenericSetAttr) return false;
    return own_init(cls) == init_.ptr();
}

py::object DirectInit::make(PyObject* const* values) const {
    auto* type = reinterpret_cast<PyTypeObject*>(cls_.ptr());
    py::object self = steal_or_throw(PyBaseObject_Type.tp_new(type, py::tuple().ptr(), nullptr));
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(fields_.ptr()); ++i)
        if (PyObject_GenericSetAttr(self.ptr(), PyTuple_GET_ITEM(fields_.ptr(), i), values[i]) < 0)
            throw py::error_already_set();
    return self;
}

}  // namespace brivel::pyclass
