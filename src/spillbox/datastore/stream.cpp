#include "spillbox/datastore/stream.hpp"

#include <algorithm>

#include "common/args.hpp"
#include "common/errors.hpp"
#include "common/signature.hpp"

namespace brivel::spillbox {
namespace {

// The iterator behind _stream_bytes. It behaves like the generator it stands for: nothing
// happens before the first request, a chunk's report is made when the consumer asks for
// the next item, and it ends for good once exhausted.
class ByteStream {
  public:
    // Chunks of data[start:end]; end < 0 for the whole payload.
    ByteStream(py::object data, py::object on_progress, Py_ssize_t chunk, Py_ssize_t start = 0, Py_ssize_t end = -1)
        : data_(std::move(data)), on_progress_(std::move(on_progress)), chunk_(chunk), start_(start), end_(end) {}

    py::bytes next() {
        if (done_) throw py::stop_iteration();
        if (!started_) {
            started_ = true;
            if (chunk_ == 0) {
                done_ = true;
                throw py::value_error("range() arg 3 must not be zero");
            }
            total_ = (end_ < 0 ? PyBytes_GET_SIZE(data_.ptr()) : end_) - start_;
        } else if (!on_progress_.is_none()) {
            errors::best_effort([&] { on_progress_(sent_, total_); });
        }
        if (chunk_ < 0 || offset_ >= total_) {
            done_ = true;
            throw py::stop_iteration();
        }
        Py_ssize_t n = std::min(chunk_, total_ - offset_);
        const char* base = PyBytes_AS_STRING(data_.ptr()) + start_;
        PyObject* chunk = PyBytes_FromStringAndSize(base + offset_, n);
        if (!chunk) throw py::error_already_set();
        offset_ += n;
        sent_ += n;
        return py::reinterpret_steal<py::bytes>(chunk);
    }

  private:
    py::object data_, on_progress_;
    Py_ssize_t chunk_, start_, end_;
    Py_ssize_t total_ = 0, offset_ = 0, sent_ = 0;
    bool started_ = false, done_ = false;
};

Py_ssize_t clamp_chunk(const py::object& size) {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(size.ptr(), &overflow);
    if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
    if (overflow > 0) return PY_SSIZE_T_MAX;  // one chunk, however large the payload
    if (overflow < 0) return -1;               // a negative step yields nothing
    if (v > PY_SSIZE_T_MAX) return PY_SSIZE_T_MAX;
    return static_cast<Py_ssize_t>(v);
}

py::object stream_bytes(const sig::Bound& a) {
    args::exact_bytes(a[0], "data");
    py::object on_progress = a[1] ? a[1] : py::none();
    py::object chunk = a[2] ? args::to_int(a[2], "chunk_size") : py::int_(262144);
    return py::cast(ByteStream(a[0], on_progress, clamp_chunk(chunk)));
}

}  // namespace

py::object byte_chunks(py::handle data, Py_ssize_t start, Py_ssize_t end) {
    return py::cast(ByteStream(py::reinterpret_borrow<py::object>(data), py::none(), kBodyChunk, start, end));
}

void define_stream_bytes(py::module_& m) {
    // Not bound in the module: the iterator type is reached only through _stream_bytes.
    if (!py::detail::get_type_info(typeid(ByteStream)))  // a body run again after a failed import
        py::class_<ByteStream>(py::handle(), "_stream_bytes_iterator", py::module_local())
            .def("__iter__", [](py::object self) { return self; })
            .def("__next__", &ByteStream::next);
    sig::def(m, "_stream_bytes", {sig::arg("data").annotated("bytes"),
                                 sig::arg("on_progress", "None").annotated("Optional[Callable[[int, int], None]]"),
                                 sig::arg("chunk_size", "262144").annotated("int")},
             "Iterates over copies of consecutive chunk_size-byte slices of the bytes `data`.\n"
             "After each chunk has been taken, on_progress(sent, total) is called with the bytes\n"
             "handed out so far (its ordinary exceptions are ignored). The arguments are checked\n"
             "when called; TypeError for a `data` that is not exactly bytes.",
             &stream_bytes);
}

}  // namespace brivel::spillbox
