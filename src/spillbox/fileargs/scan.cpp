// The file-argument scan: each argument, and one container level into it, is tested as a
// local file or directory and replaced by its shipped reference.
#include "common/args.hpp"
#include "common/attr.hpp"
#include "common/ns.hpp"
#include "common/signature.hpp"
#include "spillbox/fileargs/fileargs.hpp"

namespace brivel::spillbox {
namespace {

// Longer texts are never taken for paths, nor are URLs.
constexpr Py_ssize_t kMaxPathText = 4095;
constexpr const char* kUrlPrefixes[] = {"http://", "https://", "s3://", "gs://"};

bool url_like(py::handle text) {
    for (const char* prefix : kUrlPrefixes) {
        Py_ssize_t r = PyUnicode_Tailmatch(text.ptr(), py::str(prefix).ptr(), 0, PY_SSIZE_T_MAX, -1);
        if (r < 0) throw py::error_already_set();
        if (r) return true;
    }
    return false;
}

// The file-system test of a Path, or of a short non-URL str; False for anything else.
py::object local_test(py::handle obj, const char* path_method, const char* os_path_function) {
    if (py::isinstance(obj, ns::get("Path"))) return obj.attr(path_method)();
    if (PyUnicode_Check(obj.ptr()) && PyUnicode_GET_LENGTH(obj.ptr()) <= kMaxPathText && !url_like(obj))
        return ns::get("os").attr("path").attr(os_path_function)(obj);
    return py::bool_(false);
}

py::object is_local_file(const sig::Bound& a) {
    return local_test(a[0], "is_file", "isfile");
}

py::object is_local_dir(const sig::Bound& a) {
    return local_test(a[0], "is_dir", "isdir");
}

class Scan {
  public:
    long long found = 0;

    py::object walk(py::handle obj, int depth) {
        if (args::truthy(ns::call("_is_local_file", obj)) || args::truthy(ns::call("_is_local_dir", obj))) {
            ++found;
            return ns::call("_resolve_one", obj);
        }
        if (depth > 0) return py::reinterpret_borrow<py::object>(obj);
        if (PyList_Check(obj.ptr()) || PyTuple_Check(obj.ptr())) return rebuild_sequence(obj);
        if (PyDict_Check(obj.ptr())) {
            py::dict out;
            for (py::handle item : obj.attr("items")()) {
                auto kv = sig::unpack(item, 2);
                out[kv[0]] = walk(kv[1], depth + 1);
            }
            return out;
        }
        return py::reinterpret_borrow<py::object>(obj);
    }

  private:
    py::object rebuild_sequence(py::handle obj) {
        py::list resolved;
        for (py::handle item : obj) resolved.append(walk(item, 1));
        if (PyList_CheckExact(obj.ptr())) return resolved;
        if (PyTuple_CheckExact(obj.ptr())) return py::tuple(resolved);
        py::handle type = reinterpret_cast<PyObject*>(Py_TYPE(obj.ptr()));
        // A named tuple takes its fields one by one; _make takes them as one iterable.
        if (PyTuple_Check(obj.ptr()) && attr::has(type, "_make")) return type.attr("_make")(resolved);
        return type(resolved);
    }
};

py::tuple resolve_file_args(const sig::Bound& a) {
    args::exact_tuple(a[0], "args");
    args::exact_dict(a[1], "kwargs");
    Scan scan;
    py::list positional;
    for (py::handle item : a[0]) positional.append(scan.walk(item, 0));
    py::dict keywords;
    for (py::handle item : a[1].attr("items")()) {
        auto kv = sig::unpack(item, 2);
        keywords[kv[0]] = scan.walk(kv[1], 0);
    }
    return py::make_tuple(py::tuple(positional), keywords, py::int_(scan.found));
}

}  // namespace

void define_local_tests(py::module_& m) {
    sig::def(m, "_is_local_file", {sig::arg("obj").annotated("Any"), sig::returns("bool")},
             "Path.is_file() for a Path; os.path.isfile() for a str of at most 4095 characters that\n"
             "is not an http, https, s3 or gs URL; False for anything else.",
             &is_local_file);
    sig::def(m, "_is_local_dir", {sig::arg("obj").annotated("Any"), sig::returns("bool")},
             "Path.is_dir() for a Path; os.path.isdir() for a str of at most 4095 characters that\n"
             "is not an http, https, s3 or gs URL; False for anything else.",
             &is_local_dir);
}

void define_resolve_file_args(py::module_& m) {
    sig::def(m, "resolve_file_args",
             {sig::arg("args").annotated("tuple[Any, ...]"), sig::arg("kwargs").annotated("dict[str, Any]"),
              sig::returns("tuple[tuple[Any, ...], dict[str, Any], int]")},
             "Returns (args, kwargs, count): the call's arguments with every value that names a local\n"
             "file or directory, at the top level or one list, tuple or dict level below, replaced\n"
             "by a _RemoteFile or _RemoteDir carrying its content, and the number replaced.\n"
             "TypeError when args is not a tuple or kwargs not a dict; read errors propagate.",
             &resolve_file_args);
}

}  // namespace brivel::spillbox
