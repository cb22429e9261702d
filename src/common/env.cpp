#include "common/env.hpp"

#include "common/ns.hpp"

namespace brivel::env {

py::object text(const char* var, py::handle default_text) {
    return ns::get("os").attr("environ").attr("get")(var, default_text);
}

py::object integer(const char* var, py::handle default_text) {
    py::object value = text(var, default_text);
    PyObject* v = PyNumber_Long(value.ptr());
    if (!v) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(v);
}

void read_int(const char* constant, const char* var, py::handle default_text) {
    ns::set(constant, integer(var, default_text));
}

}  // namespace brivel::env
