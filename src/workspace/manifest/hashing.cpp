#include "workspace/manifest/hashing.hpp"

#include "common/errors.hpp"
#include "common/fspath.hpp"
#include "common/interrupt.hpp"
#include "common/ns.hpp"
#include "common/signature.hpp"
#include "core/digest.hpp"

namespace brivel::workspace {

// Read block size for a call; a non-positive value (left unsettled by the configuration)
// falls back to the default block, since the digest does not depend on it.
std::size_t hash_chunk_size() {
    long long n = ns::get_int("CHUNK_SIZE");
    return n > 0 ? static_cast<std::size_t>(n) : std::size_t{1} << 20;
}

namespace {

py::tuple sha256_file(py::object path) {
    fspath::Encoded file = fspath::encode(path);
    std::size_t chunk = hash_chunk_size();
    digest::FileDigest out;
    const int err = interrupt::run(
        [&](const cancel::Token& stop) { return digest::sha256_file(file.bytes.c_str(), chunk, out, &stop); });
    // A failed open names the file, a failed read does not, as with the interpreter's open().
    if (err) errors::raise_errno(err, out.opened ? py::handle() : py::handle(file.name));
    return py::make_tuple(out.hex, py::int_(out.bytes));
}

}  // namespace

void define_sha256_file(py::module_& m) {
    sig::def(m, "_sha256_file", {sig::arg("path")},
             "Return (hex SHA-256, size in bytes) of the file at `path`, read in CHUNK_SIZE blocks\n"
             "without the GIL. OSError as open() and read() raise it; Ctrl-C stops the read.",
             [](const sig::Bound& a) { return sha256_file(a[0]); });
}

}  // namespace brivel::workspace
