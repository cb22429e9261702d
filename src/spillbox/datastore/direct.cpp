// The second path: a data key and a presigned URL from the data API, the whole payload in
// one PUT to the object store, then the completion notice.
#include "common/args.hpp"
#include "common/errors.hpp"
#include "common/ns.hpp"
#include "common/pyclass.hpp"
#include "spillbox/api.hpp"
#include "spillbox/config.hpp"
#include "spillbox/datastore/stream.hpp"
#include "spillbox/datastore/transports.hpp"

namespace brivel::spillbox {
namespace {

using namespace pybind11::literals;

py::object upload_direct(const TransportArgs& a) {
    py::handle self = a.self;
    py::object httpx = ns::import("httpx");
    py::object reply = post_init(self, httpx, "/v1/data/upload-init", bearer(self),
                                 "upload-init request failed (%s); using legacy path",
                                 "upload-init returned %d; using legacy path");
    if (!reply) return py::none();  // not offered, or refused
    py::object data_key = reply.attr("get")("data_key");
    py::object put_url = reply.attr("get")("put_url");
    if (!args::truthy(data_key) || !args::truthy(put_url)) return py::none();
    try {
        py::dict headers;
        headers["Content-Type"] = "application/octet-stream";
        headers["Content-Length"] = to_str(a.size);
        httpx.attr("put")(put_url, "content"_a = byte_chunks(a.serialized, 0, -1), "headers"_a = headers,
                          "timeout"_a = a.upload_timeout)
            .attr("raise_for_status")();
    } catch (py::error_already_set& e) {
        if (!errors::ordinary(e)) throw;
        log("debug", "direct-to-R2 PUT failed (%s); falling back to legacy", e.value());
        return py::none();
    }
    if (!a.progress.is_none()) errors::best_effort([&] { a.progress.attr("update")(a.size); });
    errors::best_effort([&] {
        py::dict body;
        body["data_key"] = data_key;
        body["size"] = a.size;
        httpx.attr("post")(api_url(self, "/v1/data/upload-complete"), "json"_a = body, "headers"_a = bearer(self),
                           "timeout"_a = 60.0);
    });
    return args::expect(data_key, &PyUnicode_Type);
}

}  // namespace

void bind_direct_upload(py::handle cls) {
    def_transport(cls, "_upload_direct_to_r2",
                  "Stores the payload with one PUT to a presigned object-store URL minted by\n"
                  "/v1/data/upload-init and returns its data key; None when the path is not offered\n"
                  "or the request or PUT fails.",
                  &upload_direct);
}

}  // namespace brivel::spillbox
