#include "overflow/monitor/namespace.hpp"

#include "common/ns.hpp"

namespace brivel::overflow {

void define_imports(py::module_&) {
    for (const char* name : {"atexit", "functools", "logging", "os", "sys", "threading", "time"})
        ns::set(name, ns::import(name));
    py::object typing = ns::import("typing");
    for (const char* name : {"Any", "Callable", "Dict", "List", "Optional", "Set", "Tuple"})
        ns::set(name, typing.attr(name));
}

void define_logger(py::module_&) { ns::set("logger", ns::get("logging").attr("getLogger")("brivel.overflow")); }

// Placeholder host; deployments pass their own URL or set BRIVEL_API_URL.
void define_default_api_url(py::module_&) { ns::set("_DEFAULT_API_URL", py::str("https://api.brivel.example")); }

}  // namespace brivel::overflow
