// The last path: the whole payload in one POST to the data API, streamed in chunks when
// there is a progress object to report to.
#include "common/args.hpp"
#include "common/ns.hpp"
#include "common/pyclass.hpp"
#include "spillbox/api.hpp"
#include "spillbox/config.hpp"
#include "spillbox/datastore/stream.hpp"
#include "spillbox/datastore/transports.hpp"

namespace brivel::spillbox {
namespace {

using namespace pybind11::literals;

py::object upload_legacy(const TransportArgs& a) {
    py::handle self = a.self;
    py::object httpx = ns::import("httpx");
    py::dict headers = bearer(self);
    headers["Content-Type"] = "application/octet-stream";
    headers["Content-Length"] = to_str(a.size);
    py::object body = byte_chunks(a.serialized, 0, -1);
    if (!a.progress.is_none()) {
        py::object progress = a.progress;
        py::cpp_function adapter([progress](py::object sent, py::object) { return progress.attr("update")(sent); },
                                 py::name("<lambda>"), py::arg("sent"), py::arg("_total"));
        body = ns::call("_stream_bytes", a.serialized, "on_progress"_a = adapter);
    }
    py::object resp = httpx.attr("post")(api_url(self, "/v1/data/upload"), "content"_a = body,
                                         "headers"_a = headers, "timeout"_a = a.upload_timeout);
    if (status_of(resp) != 200) {
        py::object text = resp.attr("text")[py::slice(0, 200, 1)];
        log("warning", "Data upload failed: %d %s", resp.attr("status_code"), text);
        return py::none();
    }
    return args::expect(resp.attr("json")().attr("get")("data_key"), &PyUnicode_Type);
}

}  // namespace

void bind_legacy_upload(py::handle cls) {
    def_transport(cls, "_upload_legacy",
                  "POSTs the payload to the data API's /v1/data/upload and returns the data key of\n"
                  "a 200 reply (None when it names none); None with a warning for another status.",
                  &upload_legacy);
}

}  // namespace brivel::spillbox
