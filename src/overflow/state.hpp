// What brivel.overflow keeps between calls. The module body fills it; a
// failed body empties it again.
#pragma once

#include "common/ns.hpp"
#include "overflow/profile/filter_cache.hpp"

namespace brivel::overflow {

// Interned names of what the profile hook and the routing wrappers read on every event or
// call, made once so that no look-up builds a string.
struct Keys {
    // The monitor's fields and methods.
    py::str running, overloaded, portvel_failed, call_stack, scope_wrapped, filename_cache;
    py::str threshold, gpu_threshold, gpu_available, cpu_usage, mem_usage, gpu_util, gpu_mem_util;
    py::str try_wrap_from_frame, wrap_scope, is_user_code;
    // Attributes of frames and code objects that are not the interpreter's own.
    py::str f_code, f_back, co_filename, co_name, co_firstlineno;
    // A call record's keys, in the record's order.
    py::str name, filename, lineno, start_cpu, start_mem, start_gpu, start_gpu_mem;
};

struct ModuleState {
    Keys keys;
    py::object hook_function;  // the function behind every bound `_profile_hook`
    py::object is_user_code;   // the class's `_is_user_code` as defined: while it is, its memo is read directly
    FilterCache filter;        // the profile hook's, for the monitor it saw last
};

inline ModuleState& state() { return ns::state<ModuleState>(); }

// Makes the key table (the module body does, first).
void define_keys(py::module_& m);

// The state for a profile hook or a routing wrapper, which a failed module body may have
// left behind: RuntimeError once that body emptied it. The calls they make then find it
// filled, since a module body that completed is never run again.
ModuleState& filled_state();

}  // namespace brivel::overflow
