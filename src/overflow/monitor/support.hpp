// Small conventions shared by the monitor's subsystems: the module logger, the
// client module's names, Python's format().
#pragma once

#include <utility>

#include "common/ns.hpp"

namespace brivel::overflow {

// logger.<level>(fmt, *args) on the module logger as it is bound at the moment of use.
template <class... A>
void log(const char* level, A&&... a) {
    ns::get("logger").attr(level)(std::forward<A>(a)...);
}

// `from <module> import <name>`: ImportError when the module or the name is missing.
py::object from_import(const char* module, const char* name);

// Python's format(value, spec).
py::str format(py::handle value, const char* spec);

// A new threading.Lock.
py::object new_lock();

// threading.Thread(target=target, daemon=True[, name=name]), not started yet.
py::object new_thread(py::handle target, const char* name = nullptr);

}  // namespace brivel::overflow
