#include "spillbox/offload/estimate.hpp"

#include "common/attr.hpp"
#include "common/errors.hpp"
#include "common/ns.hpp"
#include "common/signature.hpp"

namespace brivel::spillbox {
namespace {

using namespace pybind11::literals;

py::object length(py::handle obj) {
    Py_ssize_t n = PyObject_Length(obj.ptr());
    if (n < 0) throw py::error_already_set();
    return py::int_(n);
}

py::object getsizeof(py::handle obj) { return ns::get("sys").attr("getsizeof")(obj); }

bool is_text_or_bytes(py::handle obj) {
    return PyBytes_Check(obj.ptr()) || PyByteArray_Check(obj.ptr()) || PyUnicode_Check(obj.ptr());
}

void add_to(py::object& total, py::handle value) {
    total = steal_or_throw(PyNumber_InPlaceAdd(total.ptr(), value.ptr()));
}

py::object shallow_size_of(py::handle obj) {
    if (attr::has(obj, "nbytes")) return to_int(obj.attr("nbytes"));
    if (is_text_or_bytes(obj)) return length(obj);
    return getsizeof(obj);
}

py::object shallow_size(const sig::Bound& a) { return shallow_size_of(a[0]); }

// The probes in order; the first that matches measures, and its failure is the result's.
py::object estimate(py::handle obj) {
    if (attr::has(obj, "_data") && attr::has(obj, "_filename")) return length(obj.attr("_data"));
    if (attr::has(obj, "nbytes")) return to_int(obj.attr("nbytes"));
    if (attr::has(obj, "memory_usage")) {
        py::object usage = obj.attr("memory_usage")("deep"_a = true);
        if (attr::has(usage, "sum")) return to_int(usage.attr("sum")());
        return to_int(usage);
    }
    if (is_text_or_bytes(obj)) return length(obj);
    if (PyList_Check(obj.ptr()) || PyTuple_Check(obj.ptr())) {
        py::object item_size = ns::get("_shallow_size");
        py::object total = getsizeof(obj);
        for (py::handle item : obj) add_to(total, item_size(item));
        return total;
    }
    if (PyDict_Check(obj.ptr())) {
        py::object item_size = ns::get("_shallow_size");
        py::object total = getsizeof(obj);
        for (py::handle pair : obj.attr("items")()) {
            auto kv = sig::unpack(pair, 2);
            add_to(total, item_size(kv[0]) + item_size(kv[1]));
        }
        return total;
    }
    return getsizeof(obj);
}

py::object estimate_arg_size(const sig::Bound& a) {
    py::object obj = a[0];
    py::object result = py::int_(0);
    errors::best_effort([&] { result = estimate(obj); });
    return result;
}

}  // namespace

void define_size_estimate(py::module_& m) {
    sig::def(m, "estimate_arg_size", {sig::arg("obj").annotated("Any"), sig::returns("int")},
             "Estimated size in bytes of one call argument, without serialising it: a shipped\n"
             "file's content length, `nbytes`, `memory_usage(deep=True)`, the length of bytes or\n"
             "text, or sys.getsizeof (plus one level of items for a list, tuple or dict). Returns\n"
             "0 when measuring raises an ordinary exception.",
             &estimate_arg_size);
    sig::def(m, "_shallow_size", {sig::arg("obj").annotated("Any"), sig::returns("int")},
             "Size of one container item: int(obj.nbytes), len() of bytes, bytearray or str, else\n"
             "sys.getsizeof(obj). Errors propagate.",
             &shallow_size);
}

}  // namespace brivel::spillbox
