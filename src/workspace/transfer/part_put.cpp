// One part's bytes, held by the caller, go to the store with one PUT per attempt. An
// expired URL is replaced at once through the caller's re-mint; a transient failure and a
// runtime error (an ETag that contradicts the part's MD5) are retried after a pause.
#include "workspace/transfer/part_put.hpp"

#include <cstring>
#include <memory>
#include <string>

#include "common/args.hpp"
#include "common/etag.hpp"
#include "common/gil.hpp"
#include "common/pyclass.hpp"
#include "common/signature.hpp"
#include "core/dataparts.hpp"
#include "core/digest.hpp"
#include "workspace/state.hpp"
#include "workspace/transfer/client.hpp"
#include "workspace/transfer/retry.hpp"

namespace brivel::workspace {
namespace {

using namespace pybind11::literals;

constexpr std::size_t kPiece = std::size_t{1} << 20;

// One part's bytes as held by the caller, and their MD5: known from the read, or else taken
// as the pieces are copied out for the first time (each byte hashed once per call).
struct PartData {
    py::object owner;  // keeps `bytes` alive
    const char* bytes = nullptr;
    std::size_t size = 0;
    std::size_t hashed = 0;
    digest::Md5 md5;
    std::string hex;

    // The lower-case hex MD5 of the whole part; hashes what no piece has covered yet.
    const std::string& md5_hex() {
        if (hex.empty()) {
            gil::Release nogil;
            if (hashed < size) md5.update(bytes + hashed, size - hashed);
            hashed = size;
            hex = md5.finish_hex();
        }
        return hex;
    }
};

// One attempt's position in the part.
struct Cursor {
    std::shared_ptr<PartData> part;
    std::size_t pos = 0;
};

py::object iter_self(py::object self) { return self; }

// The next piece: a new bytes object filled (and hashed) without the GIL. The HTTP client
// writes a large bytes body with a loop that re-slices the unsent rest after every partial
// send, copying quadratically in the part's size; pieces keep that linear.
py::object next_piece(py::object self) {
    Cursor* c = self.attr("_cursor").cast<py::capsule>().get_pointer<Cursor>();
    if (c->part && c->pos >= c->part->size) {
        // The HTTP client may keep the request (and so this body) alive in reference cycles
        // until the garbage collector runs; the part's bytes must not wait for that.
        c->part.reset();
    }
    if (!c->part) throw py::stop_iteration();
    PartData& p = *c->part;
    const std::size_t n = std::min(kPiece, p.size - c->pos);
    PyObject* piece = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(n));
    if (!piece) throw py::error_already_set();
    const char* src = p.bytes + c->pos;
    if (c->pos == p.hashed && p.hex.empty()) {
        gil::Release nogil;
        std::memcpy(PyBytes_AS_STRING(piece), src, n);
        p.md5.update(src, n);
        p.hashed += n;
    } else {
        // A plain copy is cheaper than handing the GIL to another thread and back.
        std::memcpy(PyBytes_AS_STRING(piece), src, n);
    }
    c->pos += n;
    return py::reinterpret_steal<py::object>(piece);
}

py::object part_body(const std::shared_ptr<PartData>& part) {
    py::object body = state().part_body();
    py::capsule cursor(new Cursor{part, 0}, [](void* c) { delete static_cast<Cursor*>(c); });
    py::setattr(body, "_cursor", cursor);
    return body;
}

py::str put_once(py::handle self, py::handle url, const std::shared_ptr<PartData>& part, py::handle checksum_b64) {
    py::dict headers;
    if (!checksum_b64.is_none() && PyUnicode_GET_LENGTH(checksum_b64.ptr()) > 0)
        headers["x-amz-checksum-sha256"] = checksum_b64;
    headers["Content-Length"] = py::str(std::to_string(part->size));
    py::object client = self.attr("_transfer_http_client")();
    py::object resp = client.attr("put")(url, "content"_a = part_body(part), "headers"_a = headers);
    resp.attr("raise_for_status")();
    const std::string etag = etag::of_reply(resp);
    // An ETag of 32 hexadecimal digits is an MD5 the store computed and can be checked;
    // other shapes (multipart-style, weak, empty) cannot.
    if (dataparts::is_hex_md5(etag) && !dataparts::same_md5(etag, part->md5_hex())) {
        PyErr_Format(PyExc_RuntimeError, "Part ETag %s != md5 %s (%zu bytes)", etag.c_str(), part->md5_hex().c_str(),
                     part->size);
        throw py::error_already_set();
    }
    return py::str(etag);
}

}  // namespace

void define_part_body() {
    py::object cls = pyclass::new_class("_PartBody");
    sig::method(cls, "__iter__", {}, "Returns the body itself.",
                [](py::object self, const sig::Bound&) { return iter_self(self); });
    sig::method(cls, "__next__", {}, "The next piece of the part's bytes; StopIteration after the last.",
                [](py::object self, const sig::Bound&) { return next_piece(self); });
    state().part_body = cls;
}

py::object put_part(py::handle self, py::handle url, py::handle data, py::handle checksum_b64, py::handle remint,
                    const std::string& md5_hex) {
    args::exact_str(url, "url");
    args::exact_bytes(data, "data");
    args::exact_str(checksum_b64, "checksum_b64", true);

    auto part = std::make_shared<PartData>();
    part->owner = py::reinterpret_borrow<py::object>(data);
    part->bytes = PyBytes_AS_STRING(data.ptr());
    part->size = static_cast<std::size_t>(PyBytes_GET_SIZE(data.ptr()));
    part->hex = md5_hex;
    // At least one attempt (see transfer_attempts): none at all would hand back an empty
    // ETag for a part that was never sent.
    return retry_put(py::reinterpret_borrow<py::object>(url), remint, true,
                     [&](py::handle u) { return put_once(self, u, part, checksum_b64); });
}

py::object put_part_bytes(py::object self, const sig::Bound& v) {
    return put_part(self, v[0], v[1], v[2], v[3], std::string());
}

}  // namespace brivel::workspace
