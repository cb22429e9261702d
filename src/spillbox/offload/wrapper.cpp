#include "spillbox/offload/wrapper.hpp"

#include "common/ns.hpp"
#include "common/pyclass.hpp"
#include "common/signature.hpp"
#include "spillbox/api.hpp"

namespace brivel::spillbox {
namespace {

using namespace pybind11::literals;

constexpr const char* kTypeName = "__resolving_wrapper__";

// One fetch: no credentials, redirects followed to the store, the whole body unpickled.
py::object fetch(py::handle httpx, py::handle cloudpickle, py::handle api_url, py::handle key) {
    py::str url = concat(concat(text(api_url), py::str("/v1/data/")), text(key));
    py::object resp = httpx.attr("get")(url, "timeout"_a = 600.0, "follow_redirects"_a = true);
    resp.attr("raise_for_status")();
    return cloudpickle.attr("loads")(resp.attr("content"));
}

py::object call(py::object self, py::args call_args, py::kwargs call_kwargs) {
    py::object cloudpickle = ns::import("cloudpickle");
    py::object httpx = ns::import("httpx");
    py::list args(call_args);
    py::dict kwargs;
    for (auto item : call_kwargs) kwargs[item.first] = item.second;
    py::object api_url = self.attr("_api_url");
    for (auto item : py::dict(self.attr("_arg_refs"))) {
        py::object value = fetch(httpx, cloudpickle, api_url, item.second);
        if (PyObject_SetItem(args.ptr(), item.first.ptr(), value.ptr()) < 0) throw py::error_already_set();
    }
    for (auto item : py::dict(self.attr("_kwarg_refs")))
        kwargs[item.first] = fetch(httpx, cloudpickle, api_url, item.second);
    return self.attr("_original_func")(*args, **kwargs);
}

}  // namespace

void define_resolving_wrapper(py::module_&) {
    py::object cls = pyclass::new_class(kTypeName);
    py::setattr(cls, "__doc__",
                py::str("Calls the wrapped function after fetching its offloaded arguments by data key\n"
                        "from the data API (GET <api_url>/v1/data/<key>, no credentials, redirects\n"
                        "followed) and unpickling them into their places."));
    sig::method(cls, "__call__",
                {sig::star_args("call_args").annotated("Any"), sig::star_kwargs("call_kwargs").annotated("Any"),
                 sig::returns("Any")},
                "Fetches the offloaded arguments, puts them into their places and returns what the\n"
                "wrapped function returns. Fetch and unpickling errors propagate.",
                [](py::object self, const sig::Bound& a) {
                    return call(self, py::reinterpret_borrow<py::args>(a[0]), py::reinterpret_borrow<py::kwargs>(a[1]));
                });
    ns::set(kTypeName, cls);
}

py::object make_resolving_wrapper(py::handle func, py::dict arg_refs, py::dict kwarg_refs, py::handle api_url) {
    py::object w = ns::get(kTypeName)();
    py::dict annotations;
    annotations["call_args"] = "Any";
    annotations["call_kwargs"] = "Any";
    annotations["return"] = "Any";
    py::setattr(w, "__module__", py::str(ns::module_name()));
    py::setattr(w, "__name__", py::str("_resolving_wrapper"));
    py::setattr(w, "__qualname__", py::str("DataOffloader.offload_large_args.<locals>._resolving_wrapper"));
    py::setattr(w, "__doc__", py::none());
    py::setattr(w, "__annotations__", annotations);
    w = ns::get("functools").attr("wraps")(func)(w);
    // Set after wraps: the wrapped function's own __dict__ (another wrapper's, say) must not
    // replace what this wrapper resolves.
    py::setattr(w, "_original_func", func);
    py::setattr(w, "_arg_refs", arg_refs);
    py::setattr(w, "_kwarg_refs", kwarg_refs);
    py::setattr(w, "_api_url", api_url);
    return w;
}

}  // namespace brivel::spillbox
