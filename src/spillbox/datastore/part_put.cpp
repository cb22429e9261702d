#include "spillbox/datastore/part_put.hpp"

#include <algorithm>
#include <string>

#include "common/args.hpp"
#include "common/errors.hpp"
#include "common/etag.hpp"
#include "common/gil.hpp"
#include "common/interrupt.hpp"
#include "common/lock.hpp"
#include "common/net.hpp"
#include "common/ns.hpp"
#include "core/dataparts.hpp"
#include "core/digest.hpp"
#include "spillbox/config.hpp"
#include "spillbox/datastore/stream.hpp"

namespace brivel::spillbox {
namespace {

using namespace pybind11::literals;

// The part's place in the payload, as memoryview slicing would cut it (clamped to the
// bytes at hand), and its MD5, hashed in place without the GIL. The part is never copied
// whole: each attempt streams it straight from the payload.
struct Part {
    Py_ssize_t start = 0, end = 0;
    std::string md5;
};

Part locate(const PartUpload& up, long long pn) {
    auto r = dataparts::part_range(pn, up.part_size, up.size);
    const Py_ssize_t have = PyBytes_GET_SIZE(up.serialized.ptr());
    Part p;
    p.start = static_cast<Py_ssize_t>(std::clamp<std::int64_t>(r.offset, 0, have));
    p.end = static_cast<Py_ssize_t>(std::clamp<std::int64_t>(r.length > 0 ? r.offset + r.length : r.offset, p.start, have));
    const char* src = PyBytes_AS_STRING(up.serialized.ptr()) + p.start;
    const std::size_t n = static_cast<std::size_t>(p.end - p.start);
    {
        gil::Release nogil;
        p.md5 = digest::md5_hex(src, n);
    }
    return p;
}

// Every runtime error counts, the MD5 mismatch among them.
bool transient(const PartUpload& up, py::handle exc) {
    return net::transient(exc, up.httpx) || PyErr_GivenExceptionMatches(exc.ptr(), PyExc_RuntimeError);
}

// At least one attempt, whatever the setting: with none, a part would count as sent.
long long attempts() { return std::max<long long>(1, ns::get_int("_DATA_UPLOAD_MAX_RETRIES")); }

py::tuple put_part(PartUpload& up, py::object pn_obj, py::object url) {
    py::object pn = args::to_int(pn_obj, "pn");
    args::exact_str(url, "url");
    const long long n = PyLong_AsLongLong(pn.ptr());
    if (n == -1 && PyErr_Occurred()) throw py::error_already_set();
    Part part = locate(up, n);
    py::dict headers;
    headers["Content-Type"] = "application/octet-stream";
    headers["Content-Length"] = std::to_string(part.end - part.start);
    for (long long attempt = 0;; ++attempt) {
        interrupt::raise_if_stopped();
        try {
            py::object body = byte_chunks(up.serialized, part.start, part.end);
            py::object resp = up.transfer.attr("put")(url, "content"_a = body, "headers"_a = headers);
            resp.attr("raise_for_status")();
            std::string etag = etag::of_reply(resp);
            bool hex = dataparts::is_hex_md5(etag);
            if (hex && !dataparts::same_md5(etag, part.md5)) {
                std::string msg = "part " + std::to_string(n) + " ETag " + etag + " != md5 " + part.md5;
                PyErr_SetString(PyExc_RuntimeError, msg.c_str());
                throw py::error_already_set();
            }
            py::str value(etag);
            if (!hex && !etag.empty()) {
                bool first;
                {
                    LockHold hold(up.lock);
                    first = !up.warned_nonhex;
                    up.warned_nonhex = true;
                }
                if (first)
                    log("warning",
                        "part %d ETag %r is not a verifiable 32-hex MD5; integrity check skipped "
                        "(further such parts this upload not logged)",
                        pn, value);
            }
            return py::make_tuple(pn, value);
        } catch (py::error_already_set& e) {
            if (!errors::ordinary(e)) throw;
            interrupt::raise_if_stopped();  // a request broken off by the stop
            if (!transient(up, e.value()) || attempt >= attempts() - 1) throw;
            interrupt::sleep(py::float_(dataparts::backoff_seconds(attempt)));
        }
    }
}

}  // namespace

py::object part_put_function(std::shared_ptr<PartUpload> up) {
    return py::cpp_function([up](py::object pn, py::object url) { return put_part(*up, pn, url); },
                            py::name("_put_part"), py::arg("pn"), py::arg("url"));
}

}  // namespace brivel::spillbox
