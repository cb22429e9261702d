#include "workspace/file_stream.hpp"

#include "common/errors.hpp"
#include "common/pyclass.hpp"

namespace brivel::workspace {
namespace {

// Large enough that per-chunk overhead vanishes against the network, small enough that
// dozens of parallel uploads stay in constant, modest memory.
constexpr Py_ssize_t kChunk = Py_ssize_t{1} << 20;

// Kept for the life of the process, like the module namespace, for threads still
// streaming at shutdown.
PyObject* g_class = nullptr;

files::FileReader* reader_of(py::handle self) {
    return self.attr("_reader").cast<py::capsule>().get_pointer<files::FileReader>();
}

py::object iter_self(py::object self) { return self; }

py::bytes next_chunk(py::object self) {
    files::FileReader* reader = reader_of(self);
    PyObject* chunk = PyBytes_FromStringAndSize(nullptr, kChunk);
    if (!chunk) throw py::error_already_set();
    long long n;
    {
        // The bytes object is not shared with anyone yet, so filling it needs no GIL.
        py::gil_scoped_release nogil;
        n = reader->read(PyBytes_AS_STRING(chunk), static_cast<std::size_t>(kChunk));
    }
    if (n <= 0) {
        Py_DECREF(chunk);
        if (n < 0) errors::raise_errno(static_cast<int>(-n), self.attr("_name"));
        throw py::stop_iteration();
    }
    if (n < kChunk && _PyBytes_Resize(&chunk, static_cast<Py_ssize_t>(n)) < 0) throw py::error_already_set();
    return py::reinterpret_steal<py::bytes>(chunk);
}

}  // namespace

void define_file_stream() {
    py::object cls = pyclass::new_class("_FileStream");
    pyclass::def(cls, "__iter__", &iter_self);
    pyclass::def(cls, "__next__", &next_chunk);
    Py_XSETREF(g_class, cls.release().ptr());
}

FileStream::FileStream(const FsPath& file) {
    auto* reader = new files::FileReader();
    py::capsule owner(reader, [](void* p) { delete static_cast<files::FileReader*>(p); });
    int err;
    {
        py::gil_scoped_release nogil;
        err = reader->open(file.c_str());
    }
    if (err) errors::raise_errno(err, file.name);
    body_ = py::reinterpret_borrow<py::object>(g_class)();
    py::setattr(body_, "_reader", owner);
    py::setattr(body_, "_name", file.name);
    reader_ = reader;
}

}  // namespace brivel::workspace
