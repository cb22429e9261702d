// _RemoteFile and _RemoteDir: plain classes under os.PathLike whose instance dict is all
// their state, so they pickle by reference to the class plus that dict.
#include <initializer_list>
#include <string>

#include "common/args.hpp"
#include "common/context.hpp"
#include "common/errors.hpp"
#include "common/fspath.hpp"
#include "common/gil.hpp"
#include "common/ns.hpp"
#include "common/pyclass.hpp"
#include "common/signature.hpp"
#include "core/filewriter.hpp"
#include "spillbox/fileargs/fileargs.hpp"

namespace brivel::spillbox {
namespace {

using namespace pybind11::literals;

py::object exact_str(py::object value) { return args::expect(std::move(value), &PyUnicode_Type, false); }

bool names_the_directory_itself(py::handle name) {
    return name.equal(py::str("")) || name.equal(py::str("."));
}

// A name received with a reference is untrusted: the file or directory it names must land
// directly inside the new temporary directory. A name with separators (or NUL) keeps its
// last usable component; one with none ("..", "/", "") gets `fallback`.
py::str single_component(py::object name, const char* fallback) {
    py::str text = exact_str(std::move(name));
    py::list parts = text.attr("replace")(py::str("\0", 1), "/").attr("split")("/");
    for (Py_ssize_t i = PyList_GET_SIZE(parts.ptr()); i-- > 0;) {
        py::str part = py::reinterpret_borrow<py::str>(PyList_GET_ITEM(parts.ptr(), i));
        if (!part.equal(py::str("")) && !part.equal(py::str(".")) && !part.equal(py::str(".."))) return part;
    }
    return py::str(fallback);
}

// os.path.join(tmpdir, name), refused unless it is tmpdir itself (for the names that mean
// it) or one entry directly inside it.
py::object target_in(py::handle tmpdir, py::str name) {
    py::object path = ns::get("os").attr("path");
    py::object target = path.attr("join")(tmpdir, name);
    py::object normal = path.attr("normpath")(tmpdir);
    bool inside = names_the_directory_itself(name)
                      ? path.attr("normpath")(target).equal(normal)
                      : path.attr("normpath")(path.attr("dirname")(target)).equal(normal) &&
                            path.attr("basename")(target).equal(name);
    if (!inside) throw py::value_error("refusing to write outside the temporary directory");
    return target;
}

// `data` written as the whole content of a new file at `target`, without the GIL.
void write_content(py::handle data, py::handle target) {
    fspath::Encoded where = fspath::encode(target);
    Py_buffer view;
    if (PyObject_GetBuffer(data.ptr(), &view, PyBUF_SIMPLE) < 0) throw py::error_already_set();
    int err;
    bool opened = false;
    {
        gil::Release nogil;
        files::FileWriter out;
        err = out.open(where.c_str(), false);
        opened = err == 0;
        if (opened) err = out.write(view.buf, static_cast<std::size_t>(view.len));
        int closed = out.close();  // a deferred write error shows up here
        if (err == 0) err = closed;
    }
    PyBuffer_Release(&view);
    // The interpreter names the file in an error of open(), not in one of write().
    if (err != 0) errors::raise_errno(err, opened ? py::none() : where.name);
}

// ------------------------------------------------------------------------------ _RemoteFile

void file_init(py::object self, const sig::Bound& a) {
    args::exact_bytes(a[0], "data");
    args::exact_str(a[1], "filename");
    py::setattr(self, "_data", a[0]);
    py::setattr(self, "_filename", a[1]);
    py::setattr(self, "_path", py::none());
}

py::object file_materialize(py::object self) {
    py::object done = self.attr("_path");
    if (!done.is_none()) return exact_str(done);
    py::object tmpdir = ns::import("tempfile").attr("mkdtemp")("prefix"_a = "brivel_files_");
    py::str name = single_component(self.attr("_filename"), "file");
    py::object target = target_in(tmpdir, name);
    write_content(self.attr("_data"), target);
    // Only a complete file is remembered: after a failure the next use starts afresh.
    py::setattr(self, "_path", target);
    return target;
}

py::str file_repr(py::object self) {
    return py::str("RemoteFile({}, {} bytes)").format(py::repr(self.attr("_filename")), py::len(self.attr("_data")));
}

// ------------------------------------------------------------------------------- _RemoteDir

void dir_init(py::object self, const sig::Bound& a) {
    py::object count = args::to_int(a[2], "file_count");
    args::exact_bytes(a[0], "data");
    args::exact_str(a[1], "dirname");
    py::setattr(self, "_data", a[0]);
    py::setattr(self, "_dirname", a[1]);
    py::setattr(self, "_file_count", count);
    py::setattr(self, "_path", py::none());
}

py::object dir_materialize(py::object self) {
    py::object done = self.attr("_path");
    if (!done.is_none()) return exact_str(done);
    py::object zipfile = ns::import("zipfile");
    py::object io = ns::import("io");
    py::object tmpdir = ns::import("tempfile").attr("mkdtemp")("prefix"_a = "brivel_dirs_");
    py::object raw = exact_str(self.attr("_dirname"));
    // "" and "." name the temporary directory itself.
    py::str name = names_the_directory_itself(raw) ? py::str(raw) : single_component(raw, "dir");
    py::object target = target_in(tmpdir, name);
    py::object archive = zipfile.attr("ZipFile")(io.attr("BytesIO")(self.attr("_data")), "r");
    ctx::with(archive, [&](py::object zf) {
        // Made before extracting, so an archive without members still gives a directory.
        if (!names_the_directory_itself(name)) ns::get("os").attr("mkdir")(target);
        zf.attr("extractall")(target);
    });
    py::setattr(self, "_path", target);
    return target;
}

py::str dir_repr(py::object self) {
    return py::str("RemoteDir({}, {} files, {} bytes)")
        .format(py::repr(self.attr("_dirname")), self.attr("_file_count"), py::len(self.attr("_data")));
}

// ------------------------------------------------------------------------------ both

py::object as_path(py::object self) { return exact_str(self.attr("_materialize")()); }

// A method of no arguments besides self; `result`: its return annotation, if any.
template <class F>
void def_plain(py::handle cls, const char* name, const char* doc, F impl, std::initializer_list<sig::Param> result = {}) {
    sig::method(cls, name, result, doc, [impl](py::object self, const sig::Bound&) { return impl(self); });
}

template <class Init, class Materialize, class Repr>
void define_ref(const char* name, const char* doc, std::initializer_list<sig::Param> init_params, Init init,
                const char* init_doc, Materialize materialize, const char* materialize_doc, Repr repr) {
    py::object cls = pyclass::new_class(name, py::make_tuple(ns::import("os").attr("PathLike")));
    py::setattr(cls, "__doc__", py::str(doc));
    sig::method(cls, "__init__", init_params, init_doc, init);
    def_plain(cls, "_materialize", materialize_doc, materialize, {sig::returns("str")});
    def_plain(cls, "__fspath__", "The local path of the content, written out on first use (a str).", &as_path,
              {sig::returns("str")});
    def_plain(cls, "__str__", "The local path of the content, written out on first use (a str).", &as_path);
    def_plain(cls, "__repr__", "The name and sizes; writes nothing.", repr);
    // The class was made before its methods: os.PathLike's abstract __fspath__ is now defined.
    ns::import("abc").attr("update_abstractmethods")(cls);
    ns::set(name, cls);
}

}  // namespace

void define_remote_refs(py::module_&) {
    define_ref("_RemoteFile",
               "A local file shipped with a call: its bytes and its name. Used as a path on the "
               "receiving side, it writes the bytes into a new temporary directory once and "
               "answers with the file's path there.",
               {sig::arg("data").annotated("bytes"), sig::arg("filename").annotated("str")}, &file_init,
               "Stores the file's whole content (exactly bytes) and its name (exactly str).",
               &file_materialize,
               "Writes the content into a new temporary directory on the first call and returns\n"
               "the file's path there; later calls return the same path. Errors propagate.",
               &file_repr);
    define_ref("_RemoteDir",
               "A local directory shipped with a call as an in-memory ZIP archive, with its "
               "name and file count. Used as a path on the receiving side, it extracts the "
               "archive into a new temporary directory once and answers with that path.",
               {sig::arg("data").annotated("bytes"), sig::arg("dirname").annotated("str"),
                sig::arg("file_count").annotated("int")},
               &dir_init,
               "Stores the archive (exactly bytes), the directory's name (exactly str) and the\n"
               "number of files (a number, converted with int()).",
               &dir_materialize,
               "Extracts the archive into a new temporary directory on the first call and returns\n"
               "the directory's path there; later calls return the same path. Errors propagate.",
               &dir_repr);
}

}  // namespace brivel::spillbox
