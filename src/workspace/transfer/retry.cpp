#include "workspace/transfer/retry.hpp"

#include <algorithm>
#include <optional>

#include "common/args.hpp"
#include "common/errors.hpp"
#include "common/interrupt.hpp"
#include "common/net.hpp"
#include "common/ns.hpp"
#include "common/signature.hpp"
#include "core/dataparts.hpp"

namespace brivel::workspace {
namespace {

// Texts of an object store's reply that say a presigned URL has expired (lower case).
const char* const kUrlExpiryMarkers[] = {"expired", "request has expired", "signaturedoesnotmatch",
                                          "token has expired", "authenticationrequired",
                                          "authorizationqueryparameters"};

bool status_is(const py::object& code, long v) { return !code.is_none() && code.equal(py::int_(v)); }

void check_exception(py::handle exc) { args::instance(exc, PyExc_Exception, "exc"); }

bool is_transient_http(py::object exc) {
    check_exception(exc);
    return net::transient(exc, ns::get("httpx"));
}

bool has_expiry_marker(py::handle body) {
    for (py::handle marker : ns::get("_URL_EXPIRY_MARKERS")) {
        if (contains(body, marker)) return true;
    }
    return false;
}

bool is_expired_url(py::object exc) {
    check_exception(exc);
    py::object code = net::reply_status(exc);
    bool is400 = status_is(code, 400);
    if (!is400 && !status_is(code, 403)) return false;
    py::object body = py::str("");
    errors::best_effort([&] {
        py::object text = exc.attr("response").attr("text");
        if (!text.is_none() && args::truthy(text)) body = text.attr("lower")();
    });
    if (has_expiry_marker(body)) return true;
    return is400;
}

void sleep_backoff(py::object attempt) {
    py::object n = args::to_int(attempt, "attempt");
    // 0.5 * 2**attempt reaches the 30 s cap from attempt 6 on; clamping first keeps huge
    // attempt numbers out of the 64-bit range.
    const long long k = n < py::int_(-2000) ? -2000 : n < py::int_(6) ? args::to_long_long(n) : 6;
    const double base = dataparts::backoff_base(k);
    double u = py::cast<double>(ns::import("random").attr("random")());
    interrupt::sleep(py::float_(base * 0.5 + u * base * 0.5));
}

bool is_no_such_upload(py::object exc) {
    check_exception(exc);
    if (status_is(net::reply_status(exc), 404)) return true;
    py::object text = to_str(exc).attr("lower")();
    return contains(text, py::str("nosuchupload"));
}

}  // namespace

long long transfer_attempts() { return std::max<long long>(1, ns::get_int("UPLOAD_MAX_RETRIES")); }

py::object retry_put(py::object url, py::handle remint, bool retry_runtime_errors,
                     const std::function<py::object(py::handle url)>& once) {
    const long long attempts = transfer_attempts();
    std::optional<py::error_already_set> last;
    for (long long attempt = 0; attempt < attempts; ++attempt) {
        interrupt::raise_if_stopped();
        try {
            return once(url);
        } catch (py::error_already_set& e) {
            if (!errors::ordinary(e)) throw;
            interrupt::raise_if_stopped();  // a request broken off by the stop
            last = e;
            py::object exc = e.value();
            if (args::truthy(ns::call("_is_expired_url", exc)) && !remint.is_none()) {
                // A fresh URL is tried at once; it uses up an attempt but earns no pause.
                bool fresh = false;
                try {
                    url = remint();
                    fresh = true;
                } catch (py::error_already_set& r) {
                    if (!errors::ordinary(r)) throw;
                }
                if (fresh) continue;
            }
            const bool left = attempt < attempts - 1;
            if (args::truthy(ns::call("_is_transient_http", exc)) && left) {
                ns::call("_sleep_backoff", attempt);
                continue;
            }
            if (retry_runtime_errors && left && PyErr_GivenExceptionMatches(exc.ptr(), PyExc_RuntimeError)) {
                ns::call("_sleep_backoff", attempt);
                continue;
            }
            throw;
        }
    }
    throw *last;
}

void define_transient_test(py::module_& m) {
    sig::def(m, "_is_transient_http", {sig::arg("exc")},
             "Return True when the exception `exc` is worth retrying: a network error or time-out,\n"
             "or an HTTP 408, 429 or 5xx answer.",
             [](const sig::Bound& a) { return is_transient_http(a[0]); });
}

void define_url_expiry_markers(py::module_&) { ns::set("_URL_EXPIRY_MARKERS", str_tuple(kUrlExpiryMarkers)); }

void define_retry_rules(py::module_& m) {
    sig::def(m, "_is_expired_url", {sig::arg("exc")},
             "Return True when the exception `exc` says a presigned URL has expired (a 400, or a 403\n"
             "whose body names an expiry or signature error).",
             [](const sig::Bound& a) { return is_expired_url(a[0]); });
    sig::def(m, "_sleep_backoff", {sig::arg("attempt")},
             "Sleep before retry number `attempt`: a random time between half and all of\n"
             "min(30, 0.5 * 2**attempt) seconds.",
             [](const sig::Bound& a) { sleep_backoff(a[0]); });
    sig::def(m, "_is_no_such_upload", {sig::arg("exc")},
             "Return True when the exception `exc` says a multipart upload no longer exists.",
             [](const sig::Bound& a) { return is_no_such_upload(a[0]); });
}

}  // namespace brivel::workspace
