#include "overflow/wrapping/wrapping.hpp"

#include "common/args.hpp"
#include "common/errors.hpp"
#include "common/lock.hpp"
#include "common/ns.hpp"
#include "common/pyclass.hpp"
#include "common/signature.hpp"
#include "overflow/monitor/support.hpp"
#include "overflow/wrapping/routing.hpp"

namespace brivel::overflow {
namespace {

using namespace pybind11::literals;

// getattr(obj, name, default) that swallows AttributeError only; a null default turns
// absence into a null object (hasattr).
py::object attr_or(py::handle obj, const char* name, py::handle fallback) {
    PyObject* v = PyObject_GetAttrString(obj.ptr(), name);
    if (v) return py::reinterpret_steal<py::object>(v);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
    PyErr_Clear();
    return py::reinterpret_borrow<py::object>(fallback);
}

bool already_wrapped(py::handle obj) { return args::truthy(attr_or(obj, "_overflow_wrapped", Py_False)); }

// Testing or wrapping one candidate must not break the caller's code: an ordinary failure
// (an attribute that raises, a failing functools.wraps) makes it no candidate.
template <class Test>
bool candidate(py::handle name, Test&& test) {
    try {
        return test();
    } catch (py::error_already_set& e) {
        if (!errors::ordinary(e)) throw;
        log("debug", "Not wrapping %s: %s", name, e.value());
        return false;
    }
}

void try_wrap_from_frame(py::object self, const sig::Bound& a) {
    py::object code = a[0].attr("f_code");
    py::object func_name = code.attr("co_name");
    py::object search = a[0].attr("f_back");
    while (!search.is_none()) {
        py::object globals = search.attr("f_globals");
        py::object obj = globals.attr("get")(func_name);
        bool wrapped = candidate(func_name, [&] {
            if (obj.is_none() || !PyCallable_Check(obj.ptr()) || already_wrapped(obj)) return false;
            py::object own = attr_or(obj, "__code__", py::handle());
            if (!own || !own.is(code)) return false;
            self.attr("_register_wrap")(obj, func_name, globals);
            return true;
        });
        if (wrapped) return;
        search = search.attr("f_back");
    }
}

void wrap_scope(py::object self, const sig::Bound& a) {
    if (a[0].is_none()) return;
    py::object globals = a[0].attr("f_globals");
    py::list snapshot(globals.attr("items")());
    for (py::handle item : snapshot) {
        py::object name = item[py::int_(0)], obj = item[py::int_(1)];
        candidate(name, [&] {
            if (!PyCallable_Check(obj.ptr())) return false;
            py::object code = attr_or(obj, "__code__", py::handle());
            if (!code || already_wrapped(obj) || args::truthy(name.attr("startswith")("_"))) return false;
            if (!args::truthy(self.attr("_is_user_code")(code.attr("co_filename")))) return false;
            self.attr("_register_wrap")(obj, name, globals);
            return true;
        });
    }
}

void register_wrap(py::object self, const sig::Bound& a) {
    const py::object &func = a["func_obj"], &name = a["func_name"], &space = a["namespace"];
    args::exact_str(name, "func_name");
    args::exact_dict(space, "namespace");
    LockHold hold(self.attr("_lock"));
    py::object fid = py::reinterpret_steal<py::object>(PyLong_FromVoidPtr(func.ptr()));
    py::object records = self.attr("_wrapped_functions");
    int known = PySequence_Contains(records.ptr(), fid.ptr());
    if (known < 0) throw py::error_already_set();
    if (known) return;
    py::object wrapper = self.attr("_make_wrapper")(func);
    space[name] = wrapper;
    records[fid] = ns::get("_WrapRecord")("original"_a = func, "name"_a = name, "namespace"_a = space,
                                          "wrapper"_a = wrapper);
}

py::object make_wrapper(py::object self, const sig::Bound& a) {
    py::object wrapper = make_routing_wrapper(self, a[0]);
    ns::get("functools").attr("wraps")(a[0])(wrapper);
    wrapper.attr("_overflow_wrapped") = true;
    wrapper.attr("_original") = a[0];
    return wrapper;
}

// Only a name still bound to this monitor's wrapper gets its original back: a name the
// user rebound or deleted meanwhile is theirs.
void unwrap_all(py::object self, const sig::Bound&) {
    LockHold hold(self.attr("_lock"));
    py::object records = self.attr("_wrapped_functions");
    for (py::handle rec : py::list(records.attr("values")())) {
        try {
            py::object space = rec.attr("namespace"), name = rec.attr("name");
            PyObject* current = PyDict_Check(space.ptr()) ? PyDict_GetItemWithError(space.ptr(), name.ptr()) : nullptr;
            if (!current && PyErr_Occurred()) throw py::error_already_set();
            if (current && current == py::object(rec.attr("wrapper")).ptr()) space[name] = rec.attr("original");
        } catch (py::error_already_set& e) {
            if (!errors::ordinary(e)) throw;
            log("error", "Failed to unwrap %s: %s", rec.attr("name"), e.value());
        }
    }
    records.attr("clear")();
    self.attr("_heavy_signatures").attr("clear")();
    self.attr("_scope_wrapped") = false;
}

void wrap_record_init(py::object self, const sig::Bound& a) {
    args::exact_str(a["name"], "name");
    args::exact_dict(a["namespace"], "namespace");
    for (const char* field : {"original", "name", "namespace", "wrapper"}) self.attr(field) = a[field];
}

}  // namespace

void define_wrap_record(py::module_&) {
    py::dict body;
    body["__module__"] = ns::module_name();
    body["__qualname__"] = "_WrapRecord";
    body["__doc__"] = "One replaced binding: the original function, its name and namespace, and its wrapper.";
    body["__slots__"] = py::make_tuple("original", "name", "namespace", "wrapper");
    py::object cls = py::reinterpret_borrow<py::object>((PyObject*)&PyType_Type)(
        "_WrapRecord", py::make_tuple(py::handle((PyObject*)&PyBaseObject_Type)), body);
    sig::method(cls, "__init__", {sig::arg("original"), sig::arg("name"), sig::arg("namespace"), sig::arg("wrapper")},
                "Records one wrap: the original function, its name, the namespace that binds it and\n"
                "the wrapper put there.",
                &wrap_record_init);
    ns::set("_WrapRecord", cls);
}

void bind_wrapping(py::handle cls) {
    sig::method(cls, "_try_wrap_from_frame", {sig::arg("frame")},
                "Wraps the function the frame runs, found under its own name in the module namespace\n"
                "of a calling frame.",
                &try_wrap_from_frame);
    sig::method(cls, "_wrap_scope", {sig::arg("frame")},
                "Wraps the public user functions of the frame's module namespace.",
                &wrap_scope);
    sig::method(cls, "_register_wrap", {sig::arg("func_obj"), sig::arg("func_name"), sig::arg("namespace")},
                "Rebinds namespace[func_name] to a new wrapper and records it, once per function object.",
                &register_wrap);
    sig::method(cls, "_make_wrapper", {sig::arg("original")},
                "A routing wrapper of `original` carrying its metadata (functools.wraps).",
                &make_wrapper);
}

void bind_unwrap_all(py::handle cls) {
    sig::method(cls, "_unwrap_all", {},
                "Puts every original back where its wrapper is still bound, then forgets all wraps.",
                &unwrap_all);
}

}  // namespace brivel::overflow
