// The four job-API calls of the multipart protocol. They keep no state: the upload id, the
// part numbers, ETags and checksums belong to the caller.
#include "common/args.hpp"
#include "common/errors.hpp"
#include "common/pyclass.hpp"
#include "common/signature.hpp"
#include "workspace/transfer/client.hpp"

namespace brivel::workspace {
namespace {

using namespace pybind11::literals;

// api_url + endpoint, joined as they are: the server names the paths.
py::object endpoint_url(py::handle self, py::handle endpoint) {
    py::object base = self.attr("api_url");
    return base + py::reinterpret_borrow<py::object>(endpoint);
}

py::dict upload_body(py::handle sha, py::handle upload_id) {
    py::dict body;
    body["sha"] = sha;
    body["upload_id"] = upload_id;
    return body;
}

py::object multipart_create(py::object self, const sig::Bound& v) {
    args::exact_str(v[0], "endpoint");
    args::exact_str(v[1], "sha");
    py::dict body;
    body["sha"] = v[1];
    return api_post(self, endpoint_url(self, v[0]), body);
}

py::object multipart_presign_parts(py::object self, const sig::Bound& v) {
    py::object checksums = v[4];
    args::exact_str(v[0], "endpoint");
    args::exact_str(v[1], "sha");
    args::exact_str(v[2], "upload_id");
    args::exact_list(v[3], "part_numbers");
    args::exact_dict(checksums, "checksums", true);
    py::dict body = upload_body(v[1], v[2]);
    body["part_numbers"] = v[3];
    if (!checksums.is_none() && PyDict_GET_SIZE(checksums.ptr()) > 0) body["checksums"] = checksums;
    py::object reply = api_post_json(self, endpoint_url(self, v[0]), body);
    if (!args::truthy(reply)) reply = py::dict();
    return args::expect(reply.attr("get")("urls", py::dict()), &PyDict_Type);
}

py::object multipart_complete(py::object self, const sig::Bound& v) {
    args::exact_str(v[0], "endpoint");
    args::exact_str(v[1], "sha");
    args::exact_str(v[2], "upload_id");
    args::exact_list(v[3], "parts");
    py::dict body = upload_body(v[1], v[2]);
    body["parts"] = v[3];
    return api_post(self, endpoint_url(self, v[0]), body);
}

// Best effort: the upload has already failed, and the server reclaims what it keeps.
void multipart_abort(py::object self, const sig::Bound& v) {
    args::exact_str(v[0], "endpoint");
    args::exact_str(v[1], "sha");
    args::exact_str(v[2], "upload_id");
    errors::best_effort([&] {
        py::object pool = self.attr("_api_http_client")();
        pool.attr("post")(endpoint_url(self, v[0]), "json"_a = upload_body(v[1], v[2]),
                          "headers"_a = self.attr("_headers")());
    });
}

}  // namespace

void bind_multipart_protocol(py::handle cls) {
    sig::method(cls, "multipart_create", {sig::arg("endpoint"), sig::arg("sha")},
                "Opens a multipart upload of blob `sha` at the job-API path `endpoint`. Returns the\n"
                "reply: {\"skip\": true} when the object is stored already, else one with \"upload_id\".\n"
                "Raises the HTTP client's status or transport error.", &multipart_create);
    sig::method(cls, "multipart_presign_parts", {sig::arg("endpoint"), sig::arg("sha"), sig::arg("upload_id"), sig::arg("part_numbers"),
                 sig::arg("checksums", "None")},
                "Presigns the parts `part_numbers` (a list) of an upload; `checksums` maps the decimal\n"
                "part number to the part's base64 SHA-256 and binds each URL to it. Returns the\n"
                "reply's \"urls\": decimal part number to presigned PUT URL.", &multipart_presign_parts);
    sig::method(cls, "multipart_complete", {sig::arg("endpoint"), sig::arg("sha"), sig::arg("upload_id"), sig::arg("parts")},
                "Completes an upload from `parts`, a list of {\"PartNumber\", \"ETag\"[, \"ChecksumSHA256\"]}\n"
                "in ascending order. Raises the status error when the server refuses.", &multipart_complete);
    sig::method(cls, "multipart_abort", {sig::arg("endpoint"), sig::arg("sha"), sig::arg("upload_id")},
                "Gives an upload up, best effort: every ordinary error of the request is ignored.", &multipart_abort);
}

}  // namespace brivel::workspace
