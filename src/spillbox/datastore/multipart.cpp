// The first path, for payloads above the multipart threshold: a multipart upload opened
// through the data API, parts presigned in batches of 100 just before they are sent, at most
// max(1, concurrency) parts in flight on a per-upload pool, completion with the parts'
// ETags; an abort and None (so the next path gets the payload) when anything fails.
#include <algorithm>
#include <memory>

#include "common/args.hpp"
#include "common/errors.hpp"
#include "common/lock.hpp"
#include "common/net.hpp"
#include "common/ns.hpp"
#include "common/pool.hpp"
#include "common/pyclass.hpp"
#include "common/signature.hpp"
#include "core/dataparts.hpp"
#include "spillbox/api.hpp"
#include "spillbox/config.hpp"
#include "spillbox/datastore/part_put.hpp"
#include "spillbox/datastore/transports.hpp"

namespace brivel::spillbox {
namespace {

using namespace pybind11::literals;

constexpr long long kPresignBatch = 100;

long long as_ll(py::handle v) {
    long long r = PyLong_AsLongLong(v.ptr());
    if (r == -1 && PyErr_Occurred()) throw py::error_already_set();
    return r;
}

// The part size and count of the plan; a limit that leaves no room divides by zero, as the
// interpreter would.
std::int64_t plan_part_size(long long size) {
    try {
        return dataparts::part_size(size, ns::get_int("_DATA_MULTIPART_PART_SIZE"),
                                    ns::get_int("_DATA_MULTIPART_MAX_PARTS"));
    } catch (const dataparts::ZeroDivision& e) {
        PyErr_SetString(PyExc_ZeroDivisionError, e.what());
        throw py::error_already_set();
    }
}

py::object post_json(py::handle httpx, py::handle url, py::handle body, py::handle auth, double timeout) {
    py::object resp = httpx.attr("post")(url, "json"_a = body, "headers"_a = auth, "timeout"_a = timeout);
    resp.attr("raise_for_status")();
    return resp;
}

// Progress of finished parts: a running byte count under the upload's lock, reported
// outside it so that a slow progress object never holds up a part worker.
void note_progress(PartUpload& up, long long pn) {
    if (up.progress.is_none()) return;
    auto r = dataparts::part_range(pn, up.part_size, up.size);
    long long cur;
    {
        LockHold hold(up.lock);
        up.sent += r.length;
        cur = up.sent;
    }
    errors::best_effort([&] { up.progress.attr("update")(cur); });
}

// The guarded section: presign, dispatch, reap and complete. Returns the data key.
py::object send_parts(py::handle self, std::shared_ptr<PartUpload> up, py::handle data_key, py::handle upload_id,
                      py::handle auth, long long nparts) {
    py::object httpx = up->httpx;
    const long long max_inflight = std::max<long long>(1, ns::get_int("_DATA_UPLOAD_CONCURRENCY"));
    py::object put_part = part_put_function(up);
    py::dict completed;
    {
        py::object transfer = up->transfer;
        pool::Pool pool{py::int_(max_inflight), [transfer] { net::break_off(transfer); }};
        py::dict inflight;
        // Waits for at least one part; a failed part is raised here, on the dispatching thread.
        auto reap = [&] {
            for (const py::object& f : pool.collect()) {
                py::object pn = inflight.attr("pop")(f);
                py::object result = f.attr("result")();
                auto pair = sig::unpack(result, 2);
                completed[pair[0]] = pair[1];
                note_progress(*up, as_ll(pair[0]));
            }
        };
        try {
            for (long long first = 1; first <= nparts; first += kPresignBatch) {
                long long last = std::min(nparts, first + kPresignBatch - 1);
                py::list numbers;
                for (long long pn = first; pn <= last; ++pn) numbers.append(pn);
                py::dict body;
                body["data_key"] = data_key;
                body["upload_id"] = upload_id;
                body["part_numbers"] = numbers;
                py::object reply = post_json(httpx, api_url(self, "/v1/data/upload-presign-parts"), body, auth, 60.0)
                                       .attr("json")();
                py::object urls = args::truthy(reply) ? reply.attr("get")("urls", py::dict()) : py::dict();
                for (long long pn = first; pn <= last; ++pn) {
                    while (static_cast<long long>(py::len(inflight)) >= max_inflight) reap();
                    py::object url = urls[py::str(std::to_string(pn))];
                    inflight[pool.submit(put_part, pn, url)] = pn;
                }
            }
            while (py::len(inflight) > 0) reap();
        } catch (py::error_already_set& e) {
            // After a failure the parts still running end first, with their own retries; an
            // interrupt stops them.
            pool.shutdown(!errors::ordinary(e));
            throw;
        } catch (...) {
            pool.shutdown(true);
            throw;
        }
        pool.shutdown(false);
    }
    py::list parts;
    for (long long pn = 1; pn <= nparts; ++pn) {
        py::dict entry;
        entry["PartNumber"] = pn;
        entry["ETag"] = completed[py::int_(pn)];
        parts.append(entry);
    }
    py::dict body;
    body["data_key"] = data_key;
    body["upload_id"] = upload_id;
    body["parts"] = parts;
    body["size"] = up->size_obj;
    post_json(httpx, api_url(self, "/v1/data/upload-complete-multipart"), body, auth, 120.0);
    return args::expect(py::reinterpret_borrow<py::object>(data_key), &PyUnicode_Type);
}

py::object upload_multipart(const TransportArgs& a) {
    py::handle self = a.self;
    ns::import("concurrent.futures");
    py::object threading = ns::import("threading");
    py::object httpx = ns::import("httpx");
    py::dict auth = bearer(self);
    py::object reply = post_init(self, httpx, "/v1/data/upload-init-multipart", auth,
                                 "multipart init failed (%s); using single-PUT path",
                                 "multipart init returned %d; using single-PUT");
    if (!reply) return py::none();  // not offered, or refused
    py::object data_key = reply.attr("get")("data_key");
    py::object upload_id = reply.attr("get")("upload_id");
    if (!args::truthy(data_key) || !args::truthy(upload_id)) return py::none();

    const long long size = as_ll(a.size);
    const std::int64_t part_size = plan_part_size(size);
    const std::int64_t nparts = dataparts::part_count(size, part_size);
    if (nparts > ns::get_int("_DATA_MULTIPART_MAX_PARTS")) {
        self.attr("_abort_multipart")(data_key, upload_id, auth);
        return py::none();
    }

    auto up = std::make_shared<PartUpload>();
    up->serialized = a.serialized;
    up->size = size;
    up->size_obj = a.size;
    up->part_size = part_size;
    up->progress = a.progress;
    up->lock = threading.attr("Lock")();
    up->httpx = httpx;
    long long conc = ns::get_int("_DATA_UPLOAD_CONCURRENCY");
    long long conns = std::max<long long>(8, conc + 4);
    py::object limits = httpx.attr("Limits")("max_connections"_a = conns, "max_keepalive_connections"_a = conns,
                                             "keepalive_expiry"_a = 30.0);
    up->transfer = httpx.attr("Client")("timeout"_a = a.upload_timeout, "limits"_a = limits);

    auto close_transfer = [&] { errors::best_effort([&] { up->transfer.attr("close")(); }); };
    py::object result;
    try {
        try {
            result = send_parts(self, up, data_key, upload_id, auth, nparts);
        } catch (py::error_already_set& e) {
            if (!errors::ordinary(e)) throw;
            log("debug", "multipart data upload failed (%s); aborting + falling back", e.value());
            self.attr("_abort_multipart")(data_key, upload_id, auth);
            result = py::none();
        }
    } catch (...) {
        close_transfer();
        throw;
    }
    close_transfer();
    return result;
}

py::object abort_multipart(py::object self, const sig::Bound& a) {
    args::exact_str(a[0], "data_key");
    args::exact_str(a[1], "upload_id");
    args::exact_dict(a[2], "auth");
    py::object httpx = ns::import("httpx");
    errors::best_effort([&] {
        py::dict body;
        body["data_key"] = a[0];
        body["upload_id"] = a[1];
        httpx.attr("post")(api_url(self, "/v1/data/upload-abort-multipart"), "json"_a = body, "headers"_a = a[2],
                           "timeout"_a = 30.0);
    });
    return py::none();
}

}  // namespace

void bind_multipart_upload(py::handle cls) {
    def_transport(cls, "_upload_multipart_to_r2",
                  "Stores the payload as a multipart upload to the object store (parts checked\n"
                  "against their MD5, retried with back-off) and returns its data key; None, after\n"
                  "aborting an opened upload, when the path is not offered or anything fails.",
                  &upload_multipart);
}

void bind_abort_multipart(py::handle cls) {
    sig::method(cls, "_abort_multipart",
                {sig::arg("data_key").annotated("str"), sig::arg("upload_id").annotated("str"),
                 sig::arg("auth").annotated("dict"), sig::returns("None")},
                "Best-effort abort of an open multipart data upload; request failures are\n"
                "ignored. TypeError for a data_key or upload_id that is not a str or an auth that\n"
                "is not a dict.",
                &abort_multipart);
}

}  // namespace brivel::spillbox
