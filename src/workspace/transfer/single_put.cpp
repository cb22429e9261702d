// Whole-file upload to a presigned URL: one streamed PUT per attempt, a fresh URL when the
// old one has expired, a randomised pause after a transient failure.
#include <string>

#include "common/args.hpp"
#include "common/errors.hpp"
#include "common/fspath.hpp"
#include "common/gil.hpp"
#include "common/ns.hpp"
#include "common/pyclass.hpp"
#include "common/signature.hpp"
#include "core/filereader.hpp"
#include "workspace/state.hpp"
#include "workspace/transfer/client.hpp"
#include "workspace/transfer/file_stream.hpp"
#include "workspace/transfer/retry.hpp"

namespace brivel::workspace {
namespace {

using namespace pybind11::literals;

// One attempt. Size and content are taken afresh, so a retry after the file changed sends
// what is on disk now, with a matching Content-Length.
void put_once(py::handle self, py::handle url, py::handle path, py::handle checksum_b64,
              const std::string& expected_hex) {
    py::dict headers;
    if (!checksum_b64.is_none() && PyUnicode_GET_LENGTH(checksum_b64.ptr()) > 0)
        headers["x-amz-checksum-sha256"] = checksum_b64;
    fspath::Encoded file = fspath::encode(path);
    std::uint64_t size = 0;
    int err;
    {
        gil::Release nogil;
        err = files::stat_size(file.c_str(), size);
    }
    if (err) errors::raise_errno(err, file.name);
    headers["Content-Length"] = py::str(std::to_string(size));
    py::object pool = self.attr("_transfer_http_client")();
    FileStream body(file, path, expected_hex);
    py::object resp = pool.attr("put")(url, "content"_a = body.body(), "headers"_a = headers);
    resp.attr("raise_for_status")();
}

// The single PUT with its retries. A non-empty `expected_hex` (the hash upload_blob has just
// verified) is checked again as the body streams, so an edit after the check fails the PUT
// instead of storing other bytes under that hash.
void put_with_retries(py::object self, py::object put_url, py::object path, py::object checksum_b64,
                      py::object remint, const std::string& expected_hex) {
    args::exact_str(put_url, "put_url");
    args::exact_str(checksum_b64, "checksum_b64", true);
    retry_put(put_url, remint, false, [&](py::handle url) {
        put_once(self, url, path, checksum_b64, expected_hex);
        return py::none();
    });
}

void upload_blob(py::object self, py::object put_url, py::object path, py::object sha256) {
    args::exact_str(put_url, "put_url");
    args::exact_str(sha256, "sha256", true);
    std::string verified;
    if (!sha256.is_none()) {
        // The manifest's hash may be stale; what goes out must be what the server expects.
        py::object got = ns::call("_sha256_file", path)[py::int_(0)];
        if (!got.equal(sha256)) raise_changed_content(path, sha256, got);
        verified = sha256.cast<std::string>();
    }
    // The class's own upload_blob_single gets the verified hash; an override is called as
    // the public method, with the arguments it documents.
    py::object single = self.attr("upload_blob_single");
    if (own_method(single, self, state().upload_blob_single))
        return put_with_retries(self, put_url, path, py::none(), py::none(), verified);
    single(put_url, path, "checksum_b64"_a = py::none());
}

}  // namespace

void bind_single_put(py::handle cls) {
    sig::method(cls, "upload_blob", {sig::arg("put_url"), sig::arg("path"), sig::kw("sha256", "None")},
                "Upload the file at `path` to the presigned URL `put_url` with one streamed PUT.\n\n"
                "With `sha256`, the file is hashed first and must still have that hash, and it is checked\n"
                "again as it streams; otherwise RuntimeError \"Local file ... changed during upload\".",
                [](py::object self, const sig::Bound& a) { upload_blob(self, a[0], a[1], a[2]); });
    sig::method(cls, "upload_blob_single",
                {sig::arg("put_url"), sig::arg("path"), sig::kw("checksum_b64", "None"), sig::kw("remint", "None")},
                "Upload the file at `path` with one streamed PUT per attempt.\n\n"
                "checksum_b64: the Base64 SHA-256 sent as x-amz-checksum-sha256, if any.\n"
                "remint: a callable returning a fresh URL when the store says the URL expired.\n"
                "Transient failures are retried up to UPLOAD_MAX_RETRIES attempts; the last error is raised.",
                [](py::object self, const sig::Bound& a) { put_with_retries(self, a[0], a[1], a[2], a[3], std::string()); });
    state().upload_blob_single = py::getattr(cls, "upload_blob_single");
}

}  // namespace brivel::workspace
