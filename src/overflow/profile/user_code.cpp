#include "overflow/profile/user_code.hpp"

#include "common/args.hpp"
#include "common/errors.hpp"
#include "common/ns.hpp"
#include "common/pyclass.hpp"
#include "common/signature.hpp"
#include "overflow/cpython_internals.hpp"
#include "overflow/state.hpp"

namespace brivel::overflow {
namespace {

using namespace pybind11::literals;

py::object abspath(py::handle p) { return ns::get("os").attr("path").attr("abspath")(p); }

py::tuple compute_exclude_prefixes(const sig::Bound&) {
    py::object sysconfig = ns::import("sysconfig");
    py::set paths;
    for (const char* key : {"stdlib", "platstdlib", "purelib", "platlib"}) {
        py::object value = sysconfig.attr("get_paths")().attr("get")(key, "");
        if (args::truthy(value)) paths.add(abspath(value));
    }
    errors::best_effort([&] {
        py::object site = ns::import("site");
        for (py::handle entry : site.attr("getsitepackages")()) paths.add(abspath(entry));
        py::object usp = site.attr("getusersitepackages")();
        if (PyUnicode_Check(usp.ptr())) paths.add(abspath(usp));
    });
    paths.add(ns::get("os").attr("path").attr("dirname")(abspath(ns::get("__file__"))));
    // The package's own directory, where its Python modules live, is not user code either;
    // in a development install it differs from the directory of this extension file.
    errors::best_effort([&] {
        py::object package = ns::get("sys").attr("modules").attr("get")("brivel");
        if (!package.is_none())
            for (py::handle entry : py::getattr(package, "__path__", py::tuple())) paths.add(abspath(entry));
    });
    py::object builtins = ns::import("builtins");
    return py::tuple(builtins.attr("sorted")(paths, "key"_a = builtins.attr("len"), "reverse"_a = true));
}

bool check_user_code(py::object self, const sig::Bound& a) {
    args::exact_str(a[0], "filename");
    PyObject* name = a[0].ptr();
    if (PyUnicode_GET_LENGTH(name) == 0 || PyUnicode_READ_CHAR(name, 0) == '<') return false;
    py::object abs = abspath(a[0]);
    for (py::handle prefix : self.attr("_exclude_prefixes"))
        if (args::truthy(abs.attr("startswith")(prefix))) return false;
    return true;
}

py::object is_user_code(py::object self, const sig::Bound& a) {
    args::exact_str(a[0], "filename");
    py::object cache = self.attr("_filename_cache");
    py::object cached = cache.attr("get")(a[0]);
    if (!cached.is_none()) return cached;
    py::object result = self.attr("_check_user_code")(a[0]);
    cache[a[0]] = result;
    return result;
}

}  // namespace

void define_exclude_prefixes(py::module_& m) {
    sig::def(m, "_compute_exclude_prefixes", {},
             "The directories whose files are not user code: the interpreter's install paths, the\n"
             "site-packages directories and this package's own directory, longest first.",
             &compute_exclude_prefixes);
}

void bind_user_code(py::handle cls) {
    sig::method(cls, "_is_user_code", {sig::arg("filename")},
                "Whether code from this file is user code, memoised per file name.",
                &is_user_code);
    sig::method(cls, "_check_user_code", {sig::arg("filename")},
                "The uncached verdict: False for pseudo file names and for files under an\n"
                "excluded install prefix, True otherwise.",
                &check_user_code);
    state().is_user_code = cls.attr("__dict__")["_is_user_code"];
}

bool user_code_is_own(PyTypeObject* type) {
    const ModuleState& st = state();
    return type_lookup(type, st.keys.is_user_code.ptr()) == st.is_user_code.ptr();
}

int user_code(PyObject* self, PyObject* dict, PyObject* filename) {
    const Keys& k = state().keys;
    bool own = (!dict || !PyDict_GetItemWithError(dict, k.is_user_code.ptr())) && !PyErr_Occurred() &&
               user_code_is_own(Py_TYPE(self));
    if (PyErr_Occurred()) return -1;
    if (own && dict && PyUnicode_CheckExact(filename)) {
        PyObject* cache = PyDict_GetItemWithError(dict, k.filename_cache.ptr());
        if (cache && PyDict_CheckExact(cache)) {
            PyObject* v = PyDict_GetItemWithError(cache, filename);
            if (v && v != Py_None) return PyObject_IsTrue(v);
        }
        if (PyErr_Occurred()) return -1;
    }
    py::object r = py::reinterpret_steal<py::object>(PyObject_CallMethodOneArg(self, k.is_user_code.ptr(), filename));
    return r ? PyObject_IsTrue(r.ptr()) : -1;
}

}  // namespace brivel::overflow
