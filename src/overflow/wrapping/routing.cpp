#include "overflow/wrapping/routing.hpp"

#include <cxxabi.h>

#include "common/args.hpp"
#include "common/errors.hpp"
#include "common/handling.hpp"
#include "common/native_function.hpp"
#include "common/ns.hpp"
#include "overflow/cpython_internals.hpp"
#include "overflow/monitor/support.hpp"
#include "overflow/state.hpp"

namespace brivel::overflow {
namespace {

// The monitor is a plain class without class attributes: its fields live in the instance
// dict, read there first so a local call costs one dict look-up.
int attr_truth(PyObject* obj, const py::str& name) {
    PyObject** dictptr = internals::instance_dict_slot(obj);
    if (dictptr && *dictptr) {
        PyObject* found = PyDict_GetItemWithError(*dictptr, name.ptr());
        if (found == Py_False || found == Py_True) return found == Py_True;  // the usual values
        // Held: __bool__ of an odd value may change the dict.
        py::object v = py::reinterpret_borrow<py::object>(found);
        if (v) return PyObject_IsTrue(v.ptr());
        if (PyErr_Occurred()) return -1;
    }
    py::object v = py::reinterpret_steal<py::object>(PyObject_GetAttr(obj, name.ptr()));
    return v ? PyObject_IsTrue(v.ptr()) : -1;
}

// Cloud while overloaded, with a client that has not failed to come up, and only while
// the monitor runs: a wrapper kept after stop must not open clients nobody closes.
int goes_to_cloud(PyObject* monitor) {
    const Keys& k = state().keys;
    int t = attr_truth(monitor, k.overloaded);
    if (t <= 0) return t;
    t = attr_truth(monitor, k.portvel_failed);
    if (t != 0) return t < 0 ? -1 : 0;
    return attr_truth(monitor, k.running);
}

py::str percent(const char* label, py::handle value) { return py::str("{}{}%").format(label, format(value, ".0f")); }

py::str reason_text(py::handle monitor) {
    py::list parts;
    parts.append(percent("CPU=", monitor.attr("_cpu_usage")));
    parts.append(percent("Mem=", monitor.attr("_mem_usage")));
    if (args::truthy(monitor.attr("_gpu_available"))) {
        parts.append(percent("GPU=", monitor.attr("_gpu_util")));
        parts.append(percent("GPU-Mem=", monitor.attr("_gpu_mem_util")));
    }
    return py::str("  ").attr("join")(parts);
}

void say(py::handle line) { ns::import("builtins").attr("print")(line); }

bool verbose(py::handle monitor) { return args::truthy(monitor.attr("verbose")); }

py::object run_local(PyObject* original, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    return steal_or_throw(PyObject_Vectorcall(original, args, nargsf, kwnames));
}

py::object offload(py::handle monitor, py::handle original, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    Py_ssize_t n = PyVectorcall_NARGS(nargsf);
    py::tuple positional(n);
    for (Py_ssize_t i = 0; i < n; ++i) PyTuple_SET_ITEM(positional.ptr(), i, Py_NewRef(args[i]));
    py::dict keywords;
    Py_ssize_t nk = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t i = 0; i < nk; ++i) keywords[PyTuple_GET_ITEM(kwnames, i)] = args[n + i];

    py::str reason = reason_text(monitor);
    log("info", "Offloading %s() to cloud  (%s)", original.attr("__name__"), reason);
    if (verbose(monitor)) {
        say(py::str(""));
        say(py::str("  \u2191 Overflow \u2192 Cloud: {}()").format(original.attr("__name__")));
        say(py::str("    Reason: {}").format(reason));
        say(py::str(""));
    }
    try {
        py::object result = monitor.attr("_cloud_execute")(original, positional, keywords);
        log("info", "%s() completed in cloud \u2014 returning result to local", original.attr("__name__"));
        if (verbose(monitor)) {
            say(py::str("  \u2713 {}() completed in cloud").format(original.attr("__name__")));
            say(py::str(""));
        }
        return result;
    } catch (py::error_already_set& e) {
        if (!errors::ordinary(e)) throw;
        log("warning", "Cloud offload of %s() failed (%s) \u2014 falling back to local", original.attr("__name__"),
            e.value());
        if (verbose(monitor)) say(py::str("  \u26a0 Cloud failed \u2014 running {}() locally").format(original.attr("__name__")));
        // The local run sees the arguments exactly as the caller passed them, and a local
        // failure carries the cloud failure as its context.
        Handling handling(e.value());
        return run_local(original.ptr(), args, nargsf, kwnames);
    }
}

PyObject* route_call(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    NativeFunction* f = as_native(callable);
    py::object monitor = py::reinterpret_borrow<py::object>(f->first);
    py::object original = py::reinterpret_borrow<py::object>(f->second);
    int cloud = goes_to_cloud(monitor.ptr());
    if (cloud < 0) return nullptr;
    if (!cloud) return PyObject_Vectorcall(original.ptr(), args, nargsf, kwnames);
    try {
        return offload(monitor, original, args, nargsf, kwnames).release().ptr();
    } catch (abi::__forced_unwind&) {
        throw;  // a daemon thread ended by interpreter shutdown unwinds through here
    } catch (...) {
        errors::set_error_from_current(PyExc_RuntimeError);
        return nullptr;
    }
}

}  // namespace

py::object make_routing_wrapper(py::handle monitor, py::handle original) {
    filled_state();  // the wrapper reads the key table on every call
    py::object any = ns::get("Any");
    py::dict annotations;
    annotations["args"] = any;
    annotations["kwargs"] = any;
    annotations["return"] = any;
    return make_native_function(&route_call, monitor, original, "_overflow_wrapper",
                                "_OverflowMonitor._make_wrapper.<locals>._overflow_wrapper", annotations, true);
}

}  // namespace brivel::overflow
