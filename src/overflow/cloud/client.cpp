#include "overflow/cloud/client.hpp"

#include <stdexcept>

#include "common/args.hpp"
#include "common/errors.hpp"
#include "common/handling.hpp"
#include "common/lock.hpp"
#include "common/ns.hpp"
#include "common/pyclass.hpp"
#include "common/signature.hpp"
#include "overflow/monitor/support.hpp"
#include "overflow/profile/hook.hpp"

namespace brivel::overflow {
namespace {

using namespace pybind11::literals;

constexpr const char* kClientModule = "brivel.orvane";

// `with _profile(label): block()`. The block's exception always passes through.
template <class Block>
void timed(py::handle profile, const char* label, Block&& block) {
    py::object cm = profile(label);
    py::object exit = cm.attr("__exit__");
    cm.attr("__enter__")();
    try {
        block();
    } catch (py::error_already_set& e) {
        {
            Handling handling(e.value());
            py::object trace = e.trace() ? py::reinterpret_borrow<py::object>(e.trace()) : py::none();
            exit(e.type(), e.value(), trace);
        }
        throw;
    }
    exit(py::none(), py::none(), py::none());
}

bool client_settled(py::handle self) {
    return !self.attr("_portvel").is_none() || args::truthy(self.attr("_portvel_failed"));
}

py::object get_portvel(py::object self, const sig::Bound&) {
    if (client_settled(self)) return self.attr("_portvel");
    LockHold hold(self.attr("_portvel_lock"));
    if (client_settled(self)) return self.attr("_portvel");
    py::object portvel_cls = from_import(kClientModule, "PortVel");
    py::object profile = from_import(kClientModule, "_profile");
    bool was_running = args::truthy(self.attr("_running"));
    py::object client;
    try {
        timed(profile, "PortVel.__init__", [&] {
            client = portvel_cls("api_key"_a = self.attr("api_key"), "fast"_a = self.attr("fast"),
                                 "api_url"_a = self.attr("api_url"), "verbose"_a = self.attr("verbose"));
        });
        timed(profile, "PortVel.__enter__ (auth validate)", [&] { client.attr("__enter__")(); });
    } catch (py::error_already_set& e) {
        if (errors::ordinary(e)) self.attr("_portvel_failed") = true;
        throw;
    }
    // stop() ran meanwhile and closed nothing: this client would outlive the monitor.
    if (was_running && !args::truthy(self.attr("_running"))) {
        close_client(client);
        throw std::runtime_error("the overflow monitor stopped while its cloud client was being created");
    }
    self.attr("_portvel") = client;
    return self.attr("_portvel");
}

py::object cloud_execute(py::object self, const sig::Bound& a) {
    const py::object &func = a["func"], &call_args = a["args"], &call_kwargs = a["kwargs"];
    args::exact_tuple(call_args, "args");
    args::exact_dict(call_kwargs, "kwargs");
    py::object profile = from_import(kClientModule, "_profile");
    py::object prev = get_profile();
    auto own_hook = [&] { return prev.equal(self.attr("_profile_hook")); };
    if (own_hook()) set_profile(py::none());  // the client's own work is not the user's code
    auto restore = [&] {
        if (own_hook() && args::truthy(self.attr("_running"))) set_profile(self.attr("_profile_hook"));
    };
    py::object result;
    try {
        timed(profile, "_cloud_execute (total, incl. cloud run)", [&] {
            py::object client = self.attr("_get_portvel")();
            py::object warm_id = self.attr("_warm_result").attr("get")("warm_session_id");
            if (args::truthy(warm_id)) client.attr("_warm_session_id") = warm_id;
            result = client.attr("run")(func, *py::tuple(call_args), **py::dict(call_kwargs));
        });
    } catch (py::error_already_set&) {
        restore();
        throw;
    }
    restore();
    return result;
}

void warm_portvel(py::object self, const sig::Bound&) {
    errors::best_effort([&] { from_import(kClientModule, "_get_distributions_cache")(); });
    errors::best_effort([&] { self.attr("_get_portvel")(); });
}

}  // namespace

void close_client(py::handle client) {
    errors::best_effort([&] {
        client.attr("verbose") = false;
        client.attr("__exit__")(py::none(), py::none(), py::none());
    });
}

void bind_cloud(py::handle cls) {
    sig::method(cls, "_warm_portvel", {},
                "Body of the warm-up thread: warms the client module's cache and creates the client;\n"
                "ordinary failures are ignored.",
                &warm_portvel);
    sig::method(cls, "_get_portvel", {},
                "The monitor's cloud client, created and validated on first need. A failed creation\n"
                "is raised once, then latched: later calls return None.",
                &get_portvel);
    sig::method(cls, "_cloud_execute", {sig::arg("func"), sig::arg("args"), sig::arg("kwargs")},
                "Runs func(*args, **kwargs) through the cloud client and returns its result; the\n"
                "monitor's profile hook is off in this thread meanwhile.",
                &cloud_execute);
}

}  // namespace brivel::overflow
