#include "workspace/transfer/checksum.hpp"

#include "common/args.hpp"
#include "common/signature.hpp"
#include "core/digest.hpp"
#include "core/hex_digit.hpp"

namespace brivel::workspace {
namespace {

// Standard Base64 of the 32 digest bytes, or None for text that is not 64 hex digits.
py::object sha256_to_checksum_b64(py::object sha256_hex) {
    args::exact_str(sha256_hex, "sha256_hex");
    PyObject* s = sha256_hex.ptr();
    if (PyUnicode_GET_LENGTH(s) != 64) return py::none();
    digest::Sha256Raw raw{};
    for (Py_ssize_t i = 0; i < 32; ++i) {
        int hi = hex::digit(PyUnicode_READ_CHAR(s, 2 * i));
        int lo = hex::digit(PyUnicode_READ_CHAR(s, 2 * i + 1));
        if (hi < 0 || lo < 0) return py::none();
        raw[static_cast<std::size_t>(i)] = static_cast<unsigned char>(hi << 4 | lo);
    }
    return py::str(digest::base64(raw.data(), raw.size()));
}

}  // namespace

void define_checksum_b64(py::module_& m) {
    sig::def(m, "_sha256_to_checksum_b64", {sig::arg("sha256_hex")},
             "Return the Base64 form of the 64-hex-digit `sha256_hex` (the x-amz-checksum-sha256\n"
             "header), or None for other text.",
             [](const sig::Bound& a) { return sha256_to_checksum_b64(a[0]); });
}

}  // namespace brivel::workspace
