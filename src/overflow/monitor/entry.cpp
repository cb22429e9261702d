#include "overflow/monitor/entry.hpp"

#include "common/args.hpp"
#include "common/ns.hpp"
#include "common/signature.hpp"
#include "overflow/monitor/settings.hpp"

namespace brivel::overflow {
namespace {

using namespace pybind11::literals;

py::object active() { return ns::get("_active_monitor"); }

// The innermost Python frame: the code that called this native entry, or None.
py::object caller_frame() {
    try {
        return ns::get("sys").attr("_getframe")(0);
    } catch (py::error_already_set& e) {
        if (e.matches(PyExc_ValueError) || e.matches(PyExc_AttributeError)) return py::none();
        throw;
    }
}

py::object overflow(const sig::Bound& a) {
    Settings s = convert_settings(a);
    if (!active().is_none()) active().attr("stop")();
    ns::set("_active_monitor", ns::get("_OverflowMonitor")("fast"_a = s.fast, "threshold"_a = s.threshold,
                                                           "check_interval"_a = s.check_interval, "api_key"_a = s.api_key,
                                                           "api_url"_a = s.api_url, "gpu_threshold"_a = s.gpu_threshold,
                                                           "verbose"_a = s.verbose));
    active().attr("start")();
    py::object frame = a["_caller_frame"];
    if (frame.is_none()) frame = caller_frame();
    if (!frame.is_none()) {
        active().attr("_wrap_scope")(frame);
        py::object filename = frame.attr("f_code").attr("co_filename");
        if (args::truthy(filename) && !args::truthy(filename.attr("startswith")("<")))
            active().attr("_start_pre_warm")(filename);
    }
    return active();
}

}  // namespace

void define_active_monitor(py::module_&) { ns::set("_active_monitor", py::none()); }

void define_overflow(py::module_& m) {
    sig::def(m, "overflow",
             {sig::arg("fast", "False"), sig::arg("threshold", "85.0"), sig::arg("check_interval", "0.5"),
              sig::arg("api_key", "None"), sig::arg("api_url", "None"), sig::arg("gpu_threshold", "None"),
              sig::arg("verbose", "True"), sig::arg("priority", "None"), sig::arg("flexible", "None"),
              sig::arg("_caller_frame", "None")},
             "Replaces the process-wide overflow monitor: stops the previous one, starts a new one that\n"
             "samples CPU, memory and GPU load every `check_interval` seconds, wraps the calling module's\n"
             "public functions (and heavy functions as they run) and, while any load figure is above its\n"
             "threshold (percent), runs their calls in the cloud, locally when that fails. Sends the\n"
             "calling module's source ahead in a pre-warm request. Returns the running monitor.\n"
             "Raises TypeError for wrong argument types and ImportError when psutil is missing.\n\n"
             "fast: a request flag for the cloud service, handed to the cloud client\n"
             "(brivel.orvane.PortVel(fast=...)) and sent with the pre-warm request; it changes\n"
             "nothing on this machine. threshold: CPU and memory limit in percent; gpu_threshold:\n"
             "the GPU's (default: threshold). api_key / api_url: default BRIVEL_API_KEY, then\n"
             "PORTVEL_API_KEY / BRIVEL_API_URL, then the service's URL. verbose: print status lines\n"
             "on standard output for calls sent to the cloud. priority, flexible: accepted for\n"
             "compatibility (True, False or None, else TypeError) and otherwise ignored.\n"
             "_caller_frame: the frame whose module is wrapped (default: the caller's).",
             &overflow);
}

}  // namespace brivel::overflow
