#include "workspace/transfer/part_data.hpp"

#include <limits>
#include <memory>

#include "common/args.hpp"
#include "common/errors.hpp"
#include "common/interrupt.hpp"
#include "common/signature.hpp"
#include "core/digest.hpp"
#include "core/multipart.hpp"

namespace brivel::workspace {
namespace {

// A byte count from a Python int: nothing below 0, saturated above the 64-bit range.
std::uint64_t byte_count(const py::object& n) {
    if (n <= py::int_(0)) return 0;
    unsigned long long v = PyLong_AsUnsignedLongLong(n.ptr());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        PyErr_Clear();
        return std::numeric_limits<std::uint64_t>::max();
    }
    return v;
}

std::uint64_t seek_offset(const py::object& n) {
    if (n < py::int_(0)) {
        PyErr_Format(PyExc_ValueError, "negative seek position %S", n.ptr());
        throw py::error_already_set();
    }
    return byte_count(n);
}

py::str sha256_region_b64(const sig::Bound& v) {
    std::uint64_t offset = seek_offset(args::to_int(v[1], "offset"));
    std::uint64_t length = byte_count(args::to_int(v[2], "length"));
    fspath::Encoded file = fspath::encode(v[0]);
    digest::Sha256Raw raw{};
    const int err = interrupt::run(
        [&](const cancel::Token& stop) { return multipart::sha256_region(file.c_str(), offset, length, raw, &stop); });
    if (err) errors::raise_errno(err, file.name);
    return py::str(digest::base64(raw.data(), raw.size()));
}

}  // namespace

py::bytes read_part(const fspath::Encoded& file, std::uint64_t offset, std::uint64_t length, std::string* md5_hex) {
    if (length > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) throw std::bad_alloc();
    PyObject* raw = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(length));
    if (!raw) throw py::error_already_set();
    py::bytes data = py::reinterpret_steal<py::bytes>(raw);
    std::size_t got = 0;
    // Nobody else sees the new object yet, so it is filled without the GIL.
    const int err = interrupt::run([&](const cancel::Token& stop) {
        std::unique_ptr<digest::Md5> md5(md5_hex ? new digest::Md5() : nullptr);
        int e = multipart::read_region(file.c_str(), offset, PyBytes_AS_STRING(raw), static_cast<std::size_t>(length),
                                       got, md5.get(), &stop);
        if (md5 && !e) *md5_hex = md5->finish_hex();
        return e;
    });
    if (err) errors::raise_errno(err, file.name);
    if (got == length) return data;
    PyObject* shrunk = data.release().ptr();
    if (_PyBytes_Resize(&shrunk, static_cast<Py_ssize_t>(got)) < 0) throw py::error_already_set();
    return py::reinterpret_steal<py::bytes>(shrunk);
}

void define_region_digest(py::module_& m) {
    sig::def(m, "_sha256_region_b64", {sig::arg("path"), sig::arg("offset"), sig::arg("length")},
             "Base64 of the SHA-256 of `length` bytes of the file at `path` from byte `offset`,\n"
             "read in pieces of 8 MiB; a range past the end hashes the bytes that exist.",
             &sha256_region_b64);
}

}  // namespace brivel::workspace
