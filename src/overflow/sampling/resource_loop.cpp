#include "overflow/sampling/resource_loop.hpp"

#include "common/args.hpp"
#include "common/errors.hpp"
#include "common/ns.hpp"
#include "common/pyclass.hpp"
#include "common/signature.hpp"
#include "overflow/monitor/support.hpp"

namespace brivel::overflow {
namespace {

using namespace pybind11::literals;

// The pace of the loop, from the stored setting, which stays as given. A zero interval
// would spin holding the GIL and psutil refuses a negative one, hence the floor; the
// interpreter's waits refuse an infinite or a very long one (beyond about 292 years), which
// would end the thread while the monitor runs, hence the ceiling. NaN takes the floor.
constexpr double kMinInterval = 0.05;
constexpr double kMaxInterval = 86400.0;  // a day

py::float_ paced_interval(py::handle self) {
    double v = PyFloat_AsDouble(self.attr("check_interval").ptr());
    if (v == -1.0 && PyErr_Occurred()) throw py::error_already_set();
    return py::float_(!(v >= kMinInterval) ? kMinInterval : v > kMaxInterval ? kMaxInterval : v);
}

py::str figure(const char* label, py::handle value, const char* spec) {
    return py::str("{}{}%").format(label, format(value, spec));
}

// "CPU=…%  Memory=…%[  GPU=…%  GPU-Mem=…%]" from the stored figures.
py::str figure_texts(py::handle self) {
    py::list parts;
    parts.append(figure("CPU=", self.attr("_cpu_usage"), ".1f"));
    parts.append(figure("Memory=", self.attr("_mem_usage"), ".1f"));
    if (args::truthy(self.attr("_gpu_available"))) {
        parts.append(figure("GPU=", self.attr("_gpu_util"), ".1f"));
        parts.append(figure("GPU-Mem=", self.attr("_gpu_mem_util"), ".1f"));
    }
    return py::str("  ").attr("join")(parts);
}

bool greater(py::handle a, py::handle b) {
    int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_GT);
    if (r < 0) throw py::error_already_set();
    return r != 0;
}

void sample_gpu(py::handle self) {
    try {
        py::object nvml = ns::import("pynvml");
        py::object util = nvml.attr("nvmlDeviceGetUtilizationRates")(self.attr("_nvml_handle"));
        py::object mem = nvml.attr("nvmlDeviceGetMemoryInfo")(self.attr("_nvml_handle"));
        self.attr("_gpu_util") = ns::import("builtins").attr("float")(util.attr("gpu"));
        py::object total = mem.attr("total");
        if (greater(total, py::int_(0))) {
            py::object ratio = divide(mem.attr("used"), total);
            self.attr("_gpu_mem_util") = steal_or_throw(PyNumber_Multiply(ratio.ptr(), py::float_(100.0).ptr()));
        } else {
            self.attr("_gpu_mem_util") = py::float_(0.0);
        }
    } catch (py::error_already_set& e) {
        if (!errors::ordinary(e)) throw;
        log("debug", "GPU sampling failed: %s", e.value());
    }
}

void sample_once(py::handle self, py::handle psutil) {
    self.attr("_cpu_usage") = psutil.attr("cpu_percent")("interval"_a = paced_interval(self));
    self.attr("_mem_usage") = psutil.attr("virtual_memory")().attr("percent");
    if (args::truthy(self.attr("_gpu_available")) && !self.attr("_nvml_handle").is_none()) sample_gpu(self);
    bool was = args::truthy(self.attr("_overloaded"));
    py::object threshold = self.attr("threshold");
    bool cpu_mem = greater(self.attr("_cpu_usage"), threshold) || greater(self.attr("_mem_usage"), threshold);
    bool gpu = false;
    if (args::truthy(self.attr("_gpu_available"))) {
        py::object gpu_threshold = self.attr("gpu_threshold");
        gpu = greater(self.attr("_gpu_util"), gpu_threshold) || greater(self.attr("_gpu_mem_util"), gpu_threshold);
    }
    bool now = cpu_mem || gpu;
    self.attr("_overloaded") = py::bool_(now);
    if (now && !was) {
        log("warning", "System overloaded  %s  (threshold=%.0f%%)", figure_texts(self), self.attr("threshold"));
    } else if (!now && was) {
        log("info", "Resources normalised  %s", figure_texts(self));
        self.attr("_scope_wrapped") = py::bool_(false);
    }
}

// A sampler left over from an earlier start ends once the monitor has another thread.
bool still_current(py::handle self) {
    py::object mine = self.attr("_monitor_thread");
    return mine.is_none() || mine.is(ns::get("threading").attr("current_thread")());
}

void resource_loop(py::object self, const sig::Bound&) {
    py::object psutil = ns::import("psutil");
    psutil.attr("cpu_percent")("interval"_a = py::none());
    while (args::truthy(self.attr("_running")) && still_current(self)) {
        try {
            sample_once(self, psutil);
        } catch (py::error_already_set& e) {
            if (!errors::ordinary(e)) throw;
            log("error", "Resource sampling failed: %s", e.value());
            ns::get("time").attr("sleep")(paced_interval(self));
        }
    }
}

}  // namespace

void bind_resource_loop(py::handle cls) {
    sig::method(cls, "_resource_loop", {},
                "Body of the sampling thread: samples CPU, memory and GPU load once per period and\n"
                "keeps the overload verdict, until the monitor stops.",
                &resource_loop);
}

}  // namespace brivel::overflow
