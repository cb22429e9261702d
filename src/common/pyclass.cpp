#include "common/pyclass.hpp"

namespace brivel::pyclass {

py::object new_class(const char* name, py::tuple bases) {
    if (bases.empty()) bases = py::make_tuple(py::reinterpret_borrow<py::object>((PyObject*)&PyBaseObject_Type));
    py::dict body;
    body["__module__"] = ns::module_name();
    body["__qualname__"] = name;
    return py::reinterpret_borrow<py::object>((PyObject*)&PyType_Type)(name, bases, body);
}

void plain_method(py::handle fn) {
    py::handle func = py::detail::get_function(fn);
    PyObject* self = func ? PyCFunction_GET_SELF(func.ptr()) : nullptr;
    if (!self) return;
    if (auto* rec = py::detail::function_record_ptr_from_PyObject(self)) rec->is_constructor = false;
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

}  // namespace brivel::pyclass
