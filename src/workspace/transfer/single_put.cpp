// Whole-file upload to a presigned URL: one streamed PUT per attempt, a fresh URL when the
// old one has expired, a randomised pause after a transient failure.
#include <string>

#include "common/args.hpp"
#include "common/errors.hpp"
#include "core/filereader.hpp"
#include "common/fspath.hpp"
#include "common/ns.hpp"
#include "common/pyclass.hpp"
#include "workspace/transfer/client.hpp"
#include "workspace/transfer/file_stream.hpp"
#include "workspace/transfer/retry.hpp"

namespace brivel::workspace {
namespace {

using namespace pybind11::literals;

// The content hash that upload_blob has just verified, for the upload_blob_single call it
// makes on this thread. The file is hashed again as it streams, so an edit after the check
// fails the PUT instead of storing other bytes under that hash.
thread_local const std::string* t_verified = nullptr;

class Verified {
  public:
    explicit Verified(const std::string& hex) { t_verified = &hex; }
    ~Verified() { t_verified = nullptr; }
    Verified(const Verified&) = delete;
    Verified& operator=(const Verified&) = delete;
};

// Taken by the first upload_blob_single call only.
std::string take_verified() {
    std::string hex = t_verified ? *t_verified : std::string();
    t_verified = nullptr;
    return hex;
}

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
        py::gil_scoped_release nogil;
        err = files::stat_size(file.c_str(), size);
    }
    if (err) errors::raise_errno(err, file.name);
    headers["Content-Length"] = py::str(std::to_string(size));
    py::object pool = self.attr("_transfer_http_client")();
    FileStream body(file, path, expected_hex);
    py::object resp = pool.attr("put")(url, "content"_a = body.body(), "headers"_a = headers);
    resp.attr("raise_for_status")();
}

void upload_blob_single(py::object self, py::object put_url, py::object path, py::object checksum_b64,
                        py::object remint) {
    args::exact_str(put_url, "put_url");
    args::exact_str(checksum_b64, "checksum_b64", true);
    const std::string expected_hex = take_verified();
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
        if (!got.equal(sha256)) raise_file_changed(path, sha256, got);
        verified = sha256.cast<std::string>();
    }
    Verified during(verified);
    self.attr("upload_blob_single")(put_url, path, "checksum_b64"_a = py::none());
}

}  // namespace

void bind_single_put(py::handle cls) {
    pyclass::def(cls, "upload_blob", &upload_blob, py::arg("put_url"), py::arg("path"), py::kw_only(),
                 py::arg("sha256") = py::none());
    pyclass::def(cls, "upload_blob_single", &upload_blob_single, py::arg("put_url"), py::arg("path"),
                 py::kw_only(), py::arg("checksum_b64") = py::none(), py::arg("remint") = py::none());
}

}  // namespace brivel::workspace
