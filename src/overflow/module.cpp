// brivel.overflow: routes heavy user functions to the cloud while the machine is overloaded.
// The body binds its names in a fixed order; the monitor's methods come from the
// subsystem folders (sampling, profile, wrapping, cloud).
#include "common/module.hpp"
#include "common/ns.hpp"
#include "overflow/monitor/entry.hpp"
#include "overflow/monitor/monitor.hpp"
#include "overflow/monitor/namespace.hpp"
#include "overflow/profile/user_code.hpp"
#include "overflow/state.hpp"
#include "overflow/wrapping/wrapping.hpp"

BRIVEL_MODULE(overflow, m) {
    using namespace brivel::overflow;
    brivel::ns::bind(m);
    m.doc() =
        "Overflow routing: watches this machine's CPU, memory and GPU load, spots heavy user\n"
        "functions and, while the machine is overloaded, runs their calls on cloud machines through\n"
        "brivel.orvane.PortVel, falling back to local runs. Entry point: overflow().";
    define_keys(m);
    define_imports(m);
    define_logger(m);
    define_default_api_url(m);
    define_wrap_record(m);
    define_exclude_prefixes(m);
    define_monitor(m);
    define_active_monitor(m);
    define_overflow(m);
}
