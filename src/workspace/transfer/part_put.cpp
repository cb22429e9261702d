// One part's bytes, held by the caller, go to the store with one PUT per attempt. An
// expired URL is replaced at once through the caller's re-mint; a transient failure and a
// runtime error (an ETag that contradicts the part's MD5) are retried after a pause.
#include "workspace/transfer/part_put.hpp"

#include <string>

#include "common/args.hpp"
#include "common/signature.hpp"
#include "workspace/transfer/client.hpp"
#include "core/digest.hpp"
#include "workspace/transfer/retry.hpp"

namespace brivel::workspace {
namespace {

using namespace pybind11::literals;

bool is_hex_digit(Py_UCS4 c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

// An ETag of 32 hexadecimal digits is an MD5 the store computed and can be checked; other
// shapes (multipart-style, weak, empty) cannot.
bool is_md5_etag(const py::str& etag) {
    PyObject* s = etag.ptr();
    if (PyUnicode_GET_LENGTH(s) != 32) return false;
    for (Py_ssize_t i = 0; i < 32; ++i)
        if (!is_hex_digit(PyUnicode_READ_CHAR(s, i))) return false;
    return true;
}

// The reply's ETag with every edge double quote removed, "" when it has none.
py::str reply_etag(const py::object& resp) {
    py::object headers = resp.attr("headers");
    py::object etag = headers.attr("get")("ETag");
    if (!args::truthy(etag)) etag = headers.attr("get")("etag");
    if (!args::truthy(etag)) return py::str("");
    return etag.attr("strip")("\"");
}

py::str put_once(py::handle self, py::handle url, py::handle data, py::handle checksum_b64,
                 const std::string& md5, Py_ssize_t nbytes) {
    py::dict headers;
    if (!checksum_b64.is_none() && PyUnicode_GET_LENGTH(checksum_b64.ptr()) > 0)
        headers["x-amz-checksum-sha256"] = checksum_b64;
    py::object client = self.attr("_transfer_http_client")();
    py::object resp = client.attr("put")(url, "content"_a = data, "headers"_a = headers);
    resp.attr("raise_for_status")();
    py::str etag = reply_etag(resp);
    if (is_md5_etag(etag) && py::str(etag.attr("lower")()).cast<std::string>() != md5) {
        PyErr_Format(PyExc_RuntimeError, "Part ETag %U != md5 %s (%zd bytes)", etag.ptr(), md5.c_str(), nbytes);
        throw py::error_already_set();
    }
    return etag;
}

}  // namespace

py::object put_part_bytes(py::object self, py::args a, py::kwargs k) {
    auto v = bind_method("WorkspaceClient._put_part_bytes",
                       {{"self"}, {"url"}, {"data"}, {"checksum_b64", true, false}, {"remint", true, false}}, self, a, k);
    py::object url = v[0], data = v[1];
    py::object checksum_b64 = v[2] ? v[2] : py::none();
    py::object remint = v[3] ? v[3] : py::none();
    args::exact_str(url, "url");
    args::exact_bytes(data, "data");
    args::exact_str(checksum_b64, "checksum_b64", true);

    const char* bytes = PyBytes_AS_STRING(data.ptr());
    const Py_ssize_t nbytes = PyBytes_GET_SIZE(data.ptr());
    std::string md5;
    {
        py::gil_scoped_release nogil;  // `data` is immutable and held by this frame
        md5 = digest::md5_hex(bytes, static_cast<std::size_t>(nbytes));
    }
    // At least one attempt (see transfer_attempts): none at all would hand back an empty
    // ETag for a part that was never sent.
    return retry_put(url, remint, true,
                     [&](py::handle u) { return put_once(self, u, data, checksum_b64, md5, nbytes); });
}

}  // namespace brivel::workspace
