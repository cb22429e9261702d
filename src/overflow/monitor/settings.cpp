#include "overflow/monitor/settings.hpp"

#include "common/args.hpp"

namespace brivel::overflow {
namespace {

// The interpreter's float conversion of a real number (floats, ints, __float__, __index__);
// a str is refused with that conversion's TypeError.
py::float_ real(py::handle value) {
    double d = PyFloat_AsDouble(value.ptr());
    if (d == -1.0 && PyErr_Occurred()) throw py::error_already_set();
    return py::float_(d);
}

}  // namespace

Settings convert_settings(const sig::Bound& a) {
    Settings s;
    s.fast = py::bool_(args::truthy(a["fast"]));
    s.threshold = real(a["threshold"]);
    s.check_interval = real(a["check_interval"]);
    s.api_key = a["api_key"];
    args::exact_str(s.api_key, "api_key", true);
    s.api_url = a["api_url"];
    args::exact_str(s.api_url, "api_url", true);
    s.gpu_threshold = args::to_float(a["gpu_threshold"], "gpu_threshold", true);
    s.verbose = py::bool_(args::truthy(a["verbose"]));
    args::exact(a["priority"], &PyBool_Type, "priority", true);
    args::exact(a["flexible"], &PyBool_Type, "flexible", true);
    return s;
}

}  // namespace brivel::overflow
