#include "workspace/transfer/file_stream.hpp"

#include <memory>

#include "common/errors.hpp"
#include "common/gil.hpp"
#include "common/pyclass.hpp"
#include "common/signature.hpp"
#include "core/digest.hpp"
#include "workspace/state.hpp"

namespace brivel::workspace {

// Plain C++ state of one stream, reachable without the GIL.
struct FileStream::State {
    files::FileReader reader;
    std::string expected_hex;  // empty: no check
    std::unique_ptr<digest::Sha256> hash;
    bool done = false;
};

namespace {

using State = FileStream::State;

// Large enough that per-chunk overhead vanishes against the network, small enough that
// dozens of parallel uploads stay in constant, modest memory.
constexpr Py_ssize_t kChunk = Py_ssize_t{1} << 20;

State* state_of(py::handle self) { return self.attr("_state").cast<py::capsule>().get_pointer<State>(); }

// The next chunk, or None at end of file.
py::object read_chunk(py::handle self, State* st) {
    py::object chunk = steal_or_throw(PyBytes_FromStringAndSize(nullptr, kChunk));
    char* bytes = PyBytes_AS_STRING(chunk.ptr());
    long long n;
    {
        // The bytes object is not shared with anyone yet, so filling it needs no GIL.
        gil::Release nogil;
        n = st->reader.read(bytes, static_cast<std::size_t>(kChunk));
        if (n > 0 && st->hash) st->hash->update(bytes, static_cast<std::size_t>(n));
    }
    if (n < 0) errors::raise_errno(static_cast<int>(-n), self.attr("_name"));
    if (n == 0) return py::none();
    if (n < kChunk) {
        // Resizing may move it: the only reference is handed over, and taken back.
        PyObject* resized = chunk.release().ptr();
        if (_PyBytes_Resize(&resized, static_cast<Py_ssize_t>(n)) < 0) throw py::error_already_set();
        chunk = py::reinterpret_steal<py::object>(resized);
    }
    return chunk;
}

void finish(py::handle self, State* st) {
    st->done = true;
    if (!st->hash) return;
    digest::Sha256Raw raw = st->hash->finish();
    std::string got = digest::hex(raw.data(), raw.size());
    if (got != st->expected_hex)
        raise_changed_content(self.attr("_label"), py::str(st->expected_hex), py::str(got));
}

py::object iter_self(py::object self) { return self; }

// Hands out the chunk read ahead and reads the next one; the last chunk leaves only after
// the end of the file has been seen (and the content checked).
py::object next_chunk(py::object self) {
    State* st = state_of(self);
    py::object current = self.attr("_ahead");
    if (current.is_none()) {
        if (st->done) throw py::stop_iteration();
        current = read_chunk(self, st);
        if (current.is_none()) {
            finish(self, st);
            throw py::stop_iteration();
        }
    }
    py::object ahead = read_chunk(self, st);
    if (ahead.is_none()) finish(self, st);
    py::setattr(self, "_ahead", ahead);
    return current;
}

}  // namespace

void raise_changed_file(py::handle path, const std::string& detail) {
    py::str name = to_str(path);
    PyErr_Format(PyExc_RuntimeError, "Local file %U changed during upload (%s)", name.ptr(), detail.c_str());
    throw py::error_already_set();
}

void raise_changed_content(py::handle path, py::handle expected_hex, py::handle got_hex) {
    py::slice first12(0, 12, 1);
    py::str detail = py::str("expected sha256={}, got {}").format(expected_hex[first12], got_hex[first12]);
    raise_changed_file(path, detail.cast<std::string>());
}

void define_file_stream(py::module_&) {
    py::object cls = pyclass::new_class("_FileStream");
    sig::method(cls, "__iter__", {}, "Returns the stream itself.",
                [](py::object self, const sig::Bound&) { return iter_self(self); });
    sig::method(cls, "__next__", {}, "The next chunk of the file; StopIteration after the last.",
                [](py::object self, const sig::Bound&) { return next_chunk(self); });
    state().file_stream = cls;
}

FileStream::FileStream(const fspath::Encoded& file, py::handle label, const std::string& expected_hex) {
    auto* st = new State();
    py::capsule owner(st, [](void* p) { delete static_cast<State*>(p); });
    st->expected_hex = expected_hex;
    if (!expected_hex.empty()) st->hash = std::make_unique<digest::Sha256>();
    int err;
    {
        gil::Release nogil;
        err = st->reader.open(file.c_str());
    }
    if (err) errors::raise_errno(err, file.name);
    body_ = state().file_stream();
    py::setattr(body_, "_state", owner);
    py::setattr(body_, "_name", file.name);
    py::setattr(body_, "_label", label);
    py::setattr(body_, "_ahead", py::none());
    state_ = st;
}

FileStream::~FileStream() { state_->reader.close(); }

}  // namespace brivel::workspace
