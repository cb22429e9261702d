#include "overflow/monitor/lifecycle.hpp"

#include "common/args.hpp"
#include "common/errors.hpp"
#include "common/handling.hpp"
#include "common/ns.hpp"
#include "common/pyclass.hpp"
#include "common/signature.hpp"
#include "overflow/cloud/client.hpp"
#include "overflow/monitor/support.hpp"
#include "overflow/profile/hook.hpp"

namespace brivel::overflow {
namespace {

void require_psutil() {
    try {
        ns::import("psutil");
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_ImportError)) throw;
        Handling handling(e.value());
        PyErr_SetString(PyExc_ImportError,
                        "psutil is required for overflow monitoring. Install it with:  pip install 'brivel[overflow]'");
        throw py::error_already_set();
    }
}

py::object thread_ident() { return ns::get("threading").attr("get_ident")(); }

void start(py::object self, const sig::Bound&) {
    require_psutil();
    if (args::truthy(self.attr("_running"))) return;
    self.attr("_init_gpu")();
    errors::best_effort([] { from_import("brivel.orvane", "_get_distributions_cache")(); });
    self.attr("_running") = true;
    self.attr("_original_profile") = get_profile();
    // stop() puts the saved profile function back on this thread only.
    self.attr("_hook_thread") = thread_ident();
    set_profile(self.attr("_profile_hook"));
    py::object sampler = new_thread(self.attr("_resource_loop"), "brivel-overflow");
    self.attr("_monitor_thread") = sampler;
    sampler.attr("start")();
    new_thread(self.attr("_warm_portvel"), "brivel-portvel-warm").attr("start")();
    ns::get("atexit").attr("register")(self.attr("stop"));
    if (args::truthy(self.attr("_gpu_available")))
        log("info", "Overflow monitor started  threshold=%.0f%%  gpu_threshold=%.0f%%  fast=%s", self.attr("threshold"),
            self.attr("gpu_threshold"), self.attr("fast"));
    else
        log("info", "Overflow monitor started  threshold=%.0f%%  fast=%s  (GPU monitoring: off)", self.attr("threshold"),
            self.attr("fast"));
}

void init_gpu(py::object self, const sig::Bound&) {
    try {
        py::object nvml = ns::import("pynvml");
        nvml.attr("nvmlInit")();
        if (nvml.attr("nvmlDeviceGetCount")().equal(py::int_(0))) {
            log("info", "pynvml: no NVIDIA GPUs found \u2014 GPU monitoring disabled");
            return;
        }
        self.attr("_nvml_handle") = nvml.attr("nvmlDeviceGetHandleByIndex")(0);
        self.attr("_gpu_available") = true;
        py::object name = nvml.attr("nvmlDeviceGetName")(self.attr("_nvml_handle"));
        if (PyBytes_Check(name.ptr())) name = name.attr("decode")("utf-8");
        log("info", "GPU monitoring active  device=%s  gpu_threshold=%.0f%%", name, self.attr("gpu_threshold"));
    } catch (py::error_already_set& e) {
        if (e.matches(PyExc_ImportError))
            log("info", "pynvml not installed \u2014 GPU monitoring disabled");
        else if (errors::ordinary(e))
            log("info", "GPU monitoring unavailable: %s", e.value());
        else
            throw;
    }
}

void stop(py::object self, const sig::Bound&) {
    if (!args::truthy(self.attr("_running"))) return;
    self.attr("_running") = false;
    py::object sampler = self.attr("_monitor_thread");
    self.attr("_monitor_thread") = py::none();
    // Another thread's profile function is not ours to replace; the hook left on the
    // starting thread is inert once _running is false.
    py::object hook_thread = py::getattr(self, "_hook_thread", py::none());
    if (!hook_thread.is_none() && hook_thread.equal(thread_ident()))
        errors::best_effort([&] { set_profile(self.attr("_original_profile")); });
    self.attr("_unwrap_all")();
    if (!self.attr("_portvel").is_none()) {
        close_client(self.attr("_portvel"));
        self.attr("_portvel") = py::none();
    }
    if (args::truthy(self.attr("_gpu_available"))) {
        errors::best_effort([] { ns::import("pynvml").attr("nvmlShutdown")(); });
        self.attr("_gpu_available") = false;
        self.attr("_nvml_handle") = py::none();
    }
    log("info", "Overflow monitor stopped.");
    // The sampler ends at its next wake-up. Waiting for it (bounded) keeps it out of native
    // code when the exit handler's stop is followed by interpreter finalization, which would
    // otherwise end the thread mid-frame and release its references without the GIL.
    if (!sampler.is_none() && !sampler.equal(ns::get("threading").attr("current_thread")()))
        errors::best_effort([&] { sampler.attr("join")(py::float_(2.0)); });
}

}  // namespace

void bind_start_stop(py::handle cls) {
    sig::method(cls, "start", {},
                "Starts monitoring: GPU set-up, the profile hook on this thread, the sampling and\n"
                "client warm-up threads, and a stop at interpreter exit. ImportError without psutil.",
                &start);
    sig::method(cls, "_init_gpu", {},
                "Sets up GPU monitoring of device 0 through pynvml when it can.",
                &init_gpu);
    sig::method(cls, "stop", {},
                "Stops monitoring: restores the profile function (on the starting thread) and every\n"
                "wrapped binding, closes the cloud client and shuts NVML down.",
                &stop);
}

}  // namespace brivel::overflow
