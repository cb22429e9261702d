#include "workspace/transfer/retry.hpp"

#include <algorithm>
#include <cmath>

#include "common/args.hpp"
#include "common/attr.hpp"
#include "common/errors.hpp"
#include "common/ns.hpp"

namespace brivel::workspace {
namespace {

struct Status {
    py::object response;
    py::object code;  // None when the error carries no reply status
};

Status status_of(py::handle exc) {
    py::object resp = attr::or_none(exc, "response");
    py::object code = resp.is_none() ? py::none() : attr::or_none(resp, "status_code");
    return {resp, code};
}

bool status_is(const py::object& code, long v) { return !code.is_none() && code.equal(py::int_(v)); }

void check_exception(py::handle exc) { args::instance(exc, PyExc_Exception, "exc"); }

bool is_transient_http(py::object exc) {
    check_exception(exc);
    py::object code = status_of(exc).code;
    if (!code.is_none()) {
        if (status_is(code, 408) || status_is(code, 429)) return true;
        return py::int_(500) <= code && code < py::int_(600);
    }
    py::object httpx = ns::get("httpx");
    for (const char* cls : {"TransportError", "TimeoutException"}) {
        int r = PyObject_IsInstance(exc.ptr(), httpx.attr(cls).ptr());
        if (r < 0) throw py::error_already_set();
        if (r) return true;
    }
    return false;
}

bool has_expiry_marker(py::handle body) {
    for (py::handle marker : ns::get("_URL_EXPIRY_MARKERS")) {
        int r = PySequence_Contains(body.ptr(), marker.ptr());
        if (r < 0) throw py::error_already_set();
        if (r) return true;
    }
    return false;
}

bool is_expired_url(py::object exc) {
    check_exception(exc);
    Status st = status_of(exc);
    bool is400 = status_is(st.code, 400);
    if (!is400 && !status_is(st.code, 403)) return false;
    py::object body = py::str("");
    errors::ignore_errors([&] {
        py::object text = st.response.attr("text");
        if (!text.is_none() && args::truthy(text)) body = text.attr("lower")();
    });
    if (has_expiry_marker(body)) return true;
    return is400;
}

void sleep_backoff(py::object attempt) {
    py::object n = args::to_int(attempt, "attempt");
    // 0.5 * 2**attempt reaches the 30 s cap from attempt 6 on; clamping first keeps huge
    // attempt numbers out of the floating-point range.
    double base = 30.0;
    if (n < py::int_(6)) {
        long long k = n < py::int_(-2000) ? -2000 : PyLong_AsLongLong(n.ptr());
        base = std::ldexp(0.5, static_cast<int>(k));
    }
    double u = py::cast<double>(ns::import("random").attr("random")());
    ns::import("time").attr("sleep")(base * 0.5 + u * base * 0.5);
}

bool is_no_such_upload(py::object exc) {
    check_exception(exc);
    if (status_is(status_of(exc).code, 404)) return true;
    py::object text = to_str(exc).attr("lower")();
    int r = PySequence_Contains(text.ptr(), py::str("nosuchupload").ptr());
    if (r < 0) throw py::error_already_set();
    return r != 0;
}

}  // namespace

long long transfer_attempts() { return std::max<long long>(1, ns::get_int("UPLOAD_MAX_RETRIES")); }

void define_transient_test(py::module_& m) { m.def("_is_transient_http", &is_transient_http, py::arg("exc")); }

void define_retry_rules(py::module_& m) {
    m.def("_is_expired_url", &is_expired_url, py::arg("exc"));
    m.def("_sleep_backoff", &sleep_backoff, py::arg("attempt"));
    m.def("_is_no_such_upload", &is_no_such_upload, py::arg("exc"));
}

}  // namespace brivel::workspace
