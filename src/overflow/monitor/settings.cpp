#include "overflow/monitor/settings.hpp"

#include "common/args.hpp"

namespace brivel::overflow {
namespace {

py::handle or_default(const py::object& v, py::handle fallback) { return v ? py::handle(v) : fallback; }

// The interpreter's float conversion of a real number (floats, ints, __float__, __index__);
// a str is refused with that conversion's TypeError.
py::float_ real(py::handle value) {
    double d = PyFloat_AsDouble(value.ptr());
    if (d == -1.0 && PyErr_Occurred()) throw py::error_already_set();
    return py::float_(d);
}

}  // namespace

Settings convert_settings(const std::vector<py::object>& a) {
    Settings s;
    s.fast = py::bool_(args::truthy(or_default(a[0], Py_False)));
    s.threshold = a[1] ? real(a[1]) : py::float_(85.0);
    s.check_interval = a[2] ? real(a[2]) : py::float_(0.5);
    s.api_key = py::reinterpret_borrow<py::object>(or_default(a[3], Py_None));
    args::exact_str(s.api_key, "api_key", true);
    s.api_url = py::reinterpret_borrow<py::object>(or_default(a[4], Py_None));
    args::exact_str(s.api_url, "api_url", true);
    s.gpu_threshold = args::to_float(or_default(a[5], Py_None), "gpu_threshold", true);
    s.verbose = py::bool_(args::truthy(or_default(a[6], Py_True)));
    args::exact(or_default(a[7], Py_None), &PyBool_Type, "priority", true);
    args::exact(or_default(a[8], Py_None), &PyBool_Type, "flexible", true);
    return s;
}

}  // namespace brivel::overflow
