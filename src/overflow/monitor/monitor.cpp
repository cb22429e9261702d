#include "overflow/monitor/monitor.hpp"

#include "common/args.hpp"
#include "common/ns.hpp"
#include "common/pyclass.hpp"
#include "common/signature.hpp"
#include "overflow/cloud/client.hpp"
#include "overflow/cloud/prewarm.hpp"
#include "overflow/monitor/lifecycle.hpp"
#include "overflow/monitor/settings.hpp"
#include "overflow/monitor/support.hpp"
#include "overflow/profile/hook.hpp"
#include "overflow/profile/user_code.hpp"
#include "overflow/sampling/resource_loop.hpp"
#include "overflow/wrapping/wrapping.hpp"

namespace brivel::overflow {
namespace {

// Fields that are per process and never travel: the locks, the sampling thread, and the
// thread the hook was installed on.
constexpr const char* kUnpickled[] = {"_lock", "_portvel_lock", "_monitor_thread", "_hook_thread"};

py::object env(const char* name) { return ns::get("os").attr("environ").attr("get")(name); }

py::object api_key_setting(const py::object& given) {
    if (args::truthy(given)) return given;
    py::object key = env("BRIVEL_API_KEY");
    if (args::truthy(key)) return key;
    return env("PORTVEL_API_KEY");
}

py::object api_url_setting(const py::object& given) {
    if (args::truthy(given)) return given;
    py::object url = env("BRIVEL_API_URL");
    return url.is_none() ? ns::get("_DEFAULT_API_URL") : url;
}

void init(py::object self, const sig::Bound& a) {
    Settings s = convert_settings(a);
    self.attr("fast") = s.fast;
    self.attr("threshold") = s.threshold;
    self.attr("check_interval") = s.check_interval;
    self.attr("gpu_threshold") = s.gpu_threshold.is_none() ? s.threshold : s.gpu_threshold;
    self.attr("verbose") = s.verbose;
    self.attr("api_key") = api_key_setting(s.api_key);
    self.attr("api_url") = api_url_setting(s.api_url);
    self.attr("_running") = false;
    self.attr("_overloaded") = false;
    for (const char* figure : {"_cpu_usage", "_mem_usage", "_gpu_util", "_gpu_mem_util"})
        self.attr(figure) = py::float_(0.0);
    self.attr("_gpu_available") = false;
    self.attr("_nvml_handle") = py::none();
    self.attr("_call_stack") = py::list();
    self.attr("_wrapped_functions") = py::dict();
    self.attr("_heavy_signatures") = py::set();
    self.attr("_scope_wrapped") = false;
    self.attr("_filename_cache") = py::dict();
    self.attr("_lock") = new_lock();
    self.attr("_monitor_thread") = py::none();
    self.attr("_original_profile") = py::none();
    self.attr("_portvel") = py::none();
    self.attr("_portvel_lock") = new_lock();
    self.attr("_portvel_failed") = false;
    self.attr("_warm_result") = py::dict();
    self.attr("_exclude_prefixes") = ns::call("_compute_exclude_prefixes");
}

py::dict getstate(py::object self, const sig::Bound&) {
    py::dict state = py::reinterpret_steal<py::dict>(PyDict_Copy(self.attr("__dict__").ptr()));
    if (!state) throw py::error_already_set();
    for (const char* key : kUnpickled) state.attr("pop")(key, py::none());
    return state;
}

void setstate(py::object self, const sig::Bound& a) {
    self.attr("__dict__").attr("update")(a[0]);
    self.attr("_lock") = new_lock();
    self.attr("_portvel_lock") = new_lock();
    self.attr("_monitor_thread") = py::none();
}

}  // namespace

void define_monitor(py::module_&) {
    py::object cls = pyclass::new_class("_OverflowMonitor");
    cls.attr("__doc__") =
        "The process-wide overflow monitor: samples the machine's load, spots heavy user functions\n"
        "on the starting thread and routes their calls to the cloud while the machine is overloaded.";
    sig::method(cls, "__init__",
                {sig::arg("fast"), sig::arg("threshold"), sig::arg("check_interval"), sig::arg("api_key"),
                 sig::arg("api_url"), sig::arg("gpu_threshold", "None"), sig::arg("verbose", "True"),
                 sig::arg("priority", "None"), sig::arg("flexible", "None")},
                "A stopped monitor; the key and URL fall back to BRIVEL_API_KEY / PORTVEL_API_KEY and\n"
                "BRIVEL_API_URL, then to the default URL. priority and flexible are type-checked\n"
                "(True, False or None) and not stored.",
                &init);
    sig::method(cls, "__getstate__", {}, "The instance dict without locks and threads.", &getstate);
    sig::method(cls, "__setstate__", {sig::arg("state")}, "Restores the state with new locks and no sampling thread.",
                &setstate);
    bind_start_stop(cls);
    bind_resource_loop(cls);
    bind_profile_hook(cls);
    bind_user_code(cls);
    bind_wrapping(cls);
    bind_pre_warm(cls);
    bind_cloud(cls);
    bind_unwrap_all(cls);
    ns::set("_OverflowMonitor", cls);
}

}  // namespace brivel::overflow
