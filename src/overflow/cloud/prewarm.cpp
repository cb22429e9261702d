#include "overflow/cloud/prewarm.hpp"

#include <cxxabi.h>

#include "common/args.hpp"
#include "common/errors.hpp"
#include "common/native_function.hpp"
#include "common/ns.hpp"
#include "common/pyclass.hpp"
#include "common/signature.hpp"
#include "overflow/monitor/support.hpp"

namespace brivel::overflow {
namespace {

using namespace pybind11::literals;

// One attempt, silent on every ordinary failure.
void post_source(py::handle self, py::handle source_code) {
    py::object httpx = ns::import("httpx");
    py::object base = self.attr("api_url");
    if (!args::truthy(base)) base = ns::get("_DEFAULT_API_URL");
    py::object key = self.attr("api_key");
    if (!args::truthy(key)) return;
    py::dict body;
    body["source_code"] = source_code;
    body["fast"] = self.attr("fast");
    py::dict headers;
    headers["Authorization"] = concat(py::str("Bearer "), key);
    py::object reply = httpx.attr("post")(concat(to_str(base), py::str("/v1/pre-warm")), "json"_a = body,
                                          "headers"_a = headers, "timeout"_a = 10.0);
    if (py::object(reply.attr("status_code")).equal(py::int_(200))) self.attr("_warm_result") = reply.attr("json")();
}

PyObject* do_warm(PyObject* callable, PyObject* const*, size_t nargsf, PyObject* kwnames) {
    Py_ssize_t given = PyVectorcall_NARGS(nargsf) + (kwnames ? PyTuple_GET_SIZE(kwnames) : 0);
    if (given) {
        PyErr_Format(PyExc_TypeError, "_do_warm() takes 0 positional arguments but %zd were given", given);
        return nullptr;
    }
    NativeFunction* f = as_native(callable);
    py::object self = py::reinterpret_borrow<py::object>(f->first);
    py::object source = py::reinterpret_borrow<py::object>(f->second);
    try {
        errors::best_effort([&] { post_source(self, source); });
    } catch (abi::__forced_unwind&) {
        throw;  // a daemon thread ended by interpreter shutdown unwinds through here
    } catch (...) {
        errors::set_error_from_current(PyExc_RuntimeError);
        return nullptr;
    }
    Py_RETURN_NONE;
}

// The file's text as strict UTF-8 with universal newlines, or None when it cannot be read.
py::object read_source(py::handle path) {
    py::object text = py::none();
    errors::best_effort([&] {
        py::object fh = ns::import("builtins").attr("open")(path, "r", "encoding"_a = "utf-8");
        py::object content;
        try {
            content = fh.attr("read")();
        } catch (py::error_already_set&) {
            errors::best_effort([&] { fh.attr("close")(); });
            throw;
        }
        fh.attr("close")();
        text = content;
    });
    return text;
}

void start_pre_warm(py::object self, const sig::Bound& a) {
    const py::object& source_file = a["source_file"];
    args::exact_str(source_file, "source_file", true);
    py::object source_code = py::none();
    if (!source_file.is_none() && PyUnicode_GET_LENGTH(source_file.ptr()) > 0) source_code = read_source(source_file);
    py::dict annotations;
    annotations["return"] = py::none();
    py::object target = make_native_function(&do_warm, self, source_code, "_do_warm",
                                             "_OverflowMonitor._start_pre_warm.<locals>._do_warm", annotations, false);
    new_thread(target).attr("start")();
}

}  // namespace

void bind_pre_warm(py::handle cls) {
    sig::method(cls, "_start_pre_warm", {sig::arg("source_file", "None")},
                "Reads the source file (strict UTF-8) and posts it with the `fast` flag to the\n"
                "pre-warm endpoint on a daemon thread; a 200 reply is kept in _warm_result.",
                &start_pre_warm);
}

}  // namespace brivel::overflow
