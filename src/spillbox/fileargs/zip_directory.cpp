// _zip_directory: the archive is built by the native writer with the GIL released; only
// the errors and the final bytes object are made here.
#include <algorithm>
#include <thread>

#include "common/errors.hpp"
#include "common/fspath.hpp"
#include "common/gil.hpp"
#include "common/interrupt.hpp"
#include "common/signature.hpp"
#include "core/zip_writer.hpp"
#include "spillbox/fileargs/fileargs.hpp"

namespace brivel::spillbox {
namespace {

// Files are read and compressed on this many threads at most.
constexpr std::size_t kMaxWorkers = 8;

// A file-system name as the walk would report it: str for a str top, bytes for bytes.
py::object entry_name(const std::string& raw, bool as_bytes) {
    if (as_bytes) return py::bytes(raw);
    PyObject* s = PyUnicode_DecodeFSDefaultAndSize(raw.data(), static_cast<Py_ssize_t>(raw.size()));
    if (!s) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(s);
}

[[noreturn]] void raise_failure(const zipw::DirectoryFailure& f, const fspath::Encoded& top) {
    bool as_bytes = PyBytes_Check(top.name.ptr());
    switch (f.kind) {
        case zipw::DirectoryFailure::bad_name:
            // Member names are UTF-8: the encoder's own error for a name that has none.
            entry_name(f.name, false).attr("encode")("utf-8");
            throw std::logic_error("member name encoded unexpectedly");
        case zipw::DirectoryFailure::read:
            errors::raise_errno(f.error, py::none());
        default:
            errors::raise_errno(f.error, entry_name(f.path, as_bytes));
    }
}

py::tuple zip_directory(const sig::Bound& a) {
    fspath::Encoded top = fspath::encode(a[0]);
    zipw::DirectoryArchive built;
    std::uint64_t size = 0;
    interrupt::run([&](const cancel::Token& stop) {
        std::size_t workers = std::clamp<std::size_t>(std::thread::hardware_concurrency(), 1, kMaxWorkers);
        built = zipw::zip_directory(top.bytes, workers, &stop);
        if (built.failure.kind == zipw::DirectoryFailure::none) size = built.archive.finish();
    });
    if (built.failure.kind != zipw::DirectoryFailure::none) raise_failure(built.failure, top);
    PyObject* out = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size));
    if (!out) throw py::error_already_set();
    py::bytes data = py::reinterpret_steal<py::bytes>(out);
    {
        gil::Release nogil;
        built.archive.write_to(reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(out)));
    }
    return py::make_tuple(data, py::int_(built.archive.count()));
}

}  // namespace

void define_zip_directory(py::module_& m) {
    sig::def(m, "_zip_directory", {sig::arg("dir_path").annotated("Path"), sig::returns("tuple[bytes, int]")},
             "Returns (archive, count): a Deflate ZIP archive in memory of every regular file below\n"
             "dir_path, in os.walk order, named by its path relative to dir_path (no directory\n"
             "entries), and the number of files in it. A directory that cannot be listed (dir_path\n"
             "included) adds nothing, as os.walk skips it. Raises the OSError of a file that cannot\n"
             "be read (a broken link among them).",
             &zip_directory);
}

}  // namespace brivel::spillbox
