#include "overflow/state.hpp"

namespace brivel::overflow {

void define_keys(py::module_&) {
    state().keys = Keys{
        .running = intern("_running"),
        .overloaded = intern("_overloaded"),
        .portvel_failed = intern("_portvel_failed"),
        .call_stack = intern("_call_stack"),
        .scope_wrapped = intern("_scope_wrapped"),
        .filename_cache = intern("_filename_cache"),
        .threshold = intern("threshold"),
        .gpu_threshold = intern("gpu_threshold"),
        .gpu_available = intern("_gpu_available"),
        .cpu_usage = intern("_cpu_usage"),
        .mem_usage = intern("_mem_usage"),
        .gpu_util = intern("_gpu_util"),
        .gpu_mem_util = intern("_gpu_mem_util"),
        .try_wrap_from_frame = intern("_try_wrap_from_frame"),
        .wrap_scope = intern("_wrap_scope"),
        .is_user_code = intern("_is_user_code"),
        .f_code = intern("f_code"),
        .f_back = intern("f_back"),
        .co_filename = intern("co_filename"),
        .co_name = intern("co_name"),
        .co_firstlineno = intern("co_firstlineno"),
        .name = intern("name"),
        .filename = intern("filename"),
        .lineno = intern("lineno"),
        .start_cpu = intern("start_cpu"),
        .start_mem = intern("start_mem"),
        .start_gpu = intern("start_gpu"),
        .start_gpu_mem = intern("start_gpu_mem"),
    };
}

ModuleState& filled_state() {
    ModuleState& s = state();
    if (!s.hook_function) {
        PyErr_SetString(PyExc_RuntimeError, "the module's body did not complete: import it again");
        throw py::error_already_set();
    }
    return s;
}

}  // namespace brivel::overflow
