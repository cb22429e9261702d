#include "workspace/manifest/winpath.hpp"

#include "common/args.hpp"
#include "common/errors.hpp"
#include "common/ns.hpp"
#include "common/signature.hpp"

namespace brivel::workspace {
namespace {

const char kHint[] =
    "   The VM is Linux and has no 'C:' drive. Use a relative path (auto-workspace mirrors your project root and "
    "chdirs into it), or map the directory explicitly with Upload(local=..., to='/data/...') and reference the "
    "POSIX target inside your function.";

bool is_windows_absolute(const sig::Bound& a) {
    args::exact_str(a[0], "s");
    PyObject* s = a[0].ptr();
    if (PyUnicode_GET_LENGTH(s) <= 2) return false;
    if (!Py_UNICODE_ISALPHA(PyUnicode_READ_CHAR(s, 0))) return false;
    if (PyUnicode_READ_CHAR(s, 1) != ':') return false;
    Py_UCS4 sep = PyUnicode_READ_CHAR(s, 2);
    return sep == '/' || sep == '\\';
}

py::list scan_string_for_win_paths(const sig::Bound& a) {
    args::exact_str(a[0], "text");
    py::list found;
    if (PyUnicode_GET_LENGTH(a[0].ptr()) == 0) return found;
    py::set seen;
    for (py::handle m : ns::get("_WIN_ABS_PATH_RE").attr("finditer")(a[0])) {
        py::object path = m.attr("group")(1);
        if (seen.contains(path)) continue;
        seen.add(path);
        found.append(path);
    }
    return found;
}

// A str subclass is tested as a plain str copy of its text and recorded as given.
bool windows_absolute(py::handle value) {
    py::object tested = py::reinterpret_borrow<py::object>(value);
    if (PyUnicode_Check(value.ptr()) && !PyUnicode_CheckExact(value.ptr())) {
        tested = steal_or_throw(PyUnicode_FromObject(value.ptr()));
    }
    return args::truthy(ns::call("_is_windows_absolute", tested));
}

py::str function_name(py::handle func) {
    py::object name = py::hasattr(func, "__qualname__") ? func.attr("__qualname__")
                      : py::hasattr(func, "__name__")   ? func.attr("__name__")
                                                        : py::str("<func>");
    return steal_or_throw<py::str>(PyObject_Format(name.ptr(), nullptr));
}

py::list detect_windows_absolute_paths(const sig::Bound& a) {
    py::object func = a[0], values = a[1], kw = a[2], uploads = a[3];
    args::exact_tuple(values, "args");
    args::exact_dict(kw, "kwargs", true);
    if (kw.is_none()) kw = py::dict();

    py::list found;
    py::set seen;
    auto record = [&](py::handle label, py::handle path) {
        py::str key = concat(concat(label, py::str("::")), path);
        if (seen.contains(key)) return;
        seen.add(key);
        found.append(py::make_tuple(label, path));
    };

    if (!func.is_none()) {
        py::object source = py::str("");
        try {
            source = ns::get("inspect").attr("getsource")(func);
        } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_OSError) && !e.matches(PyExc_TypeError)) throw;
        }
        py::object label;
        for (py::handle path : ns::call("_scan_string_for_win_paths", source)) {
            if (!label) label = concat(concat(py::str("function source ("), function_name(func)), py::str(")"));
            record(label, path);
        }
    }
    Py_ssize_t i = 0;
    for (py::handle v : values) {
        if (PyUnicode_Check(v.ptr()) && windows_absolute(v)) record(py::str("args[" + std::to_string(i) + "]"), v);
        ++i;
    }
    // Key and value are held across the test, which runs module code that may change the
    // dict; a change of size ends the loop as the interpreter's dict iteration does.
    const Py_ssize_t kw_size = PyDict_GET_SIZE(kw.ptr());
    Py_ssize_t pos = 0;
    PyObject *raw_key, *raw_value;
    while (PyDict_Next(kw.ptr(), &pos, &raw_key, &raw_value)) {
        py::object k = py::reinterpret_borrow<py::object>(raw_key), v = py::reinterpret_borrow<py::object>(raw_value);
        if (PyUnicode_Check(v.ptr()) && windows_absolute(v))
            record(concat(concat(py::str("kwargs["), py::repr(k)), py::str("]")), v);
        if (PyDict_GET_SIZE(kw.ptr()) != kw_size) {
            PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
            throw py::error_already_set();
        }
    }
    if (!uploads.is_none()) {
        for (py::handle up : py::iter(uploads)) {
            py::object to = up.attr("to");
            if (!args::truthy(to) || !windows_absolute(to)) continue;
            record(concat(concat(py::str("Upload(to="), py::repr(to)), py::str(")")), to);
        }
    }
    return found;
}

void warn_windows_absolute_paths(const sig::Bound& a) {
    args::exact_list(a[0], "findings");
    if (PyList_GET_SIZE(a[0].ptr()) == 0) return;
    py::list lines;
    lines.append("WARNING: Detected absolute Windows path(s) that will NOT resolve inside the Linux VM:");
    for (py::handle item : a[0]) {
        auto v = sig::unpack(item, 2);
        lines.append(concat(concat(concat(concat(py::str("   - "), py::str(v[1])), py::str("   (from ")), py::str(v[0])),
                            py::str(")")));
    }
    lines.append(kHint);
    py::str text = py::str("\n").attr("join")(lines);
    py::object stream = !a[1].is_none() ? a[1] : ns::get("sys").attr("stderr");
    errors::best_effort([&] { ns::import("builtins").attr("print")(text, py::arg("file") = stream); });
    ns::get("logger").attr("warning")(text);
}

}  // namespace

void define_windows_path_check(py::module_& m) {
    sig::def(m, "_is_windows_absolute", {sig::arg("s")},
             "Return True when the str `s` starts with a drive letter, ':' and a slash or backslash.",
             &is_windows_absolute);
    sig::def(m, "_scan_string_for_win_paths", {sig::arg("text")},
             "Return the quoted Windows absolute paths found in `text`, each once, in order.",
             &scan_string_for_win_paths);
    sig::def(m, "detect_windows_absolute_paths",
             {sig::kw("func", "None"), sig::kw("args", "()"), sig::kw("kwargs", "None"), sig::kw("uploads", "None")},
             "Return (where, path) pairs for Windows absolute paths in the source of `func`, in the\n"
             "str values of `args` and `kwargs`, and in the `to` of each Upload in `uploads`.",
             &detect_windows_absolute_paths);
    sig::def(m, "warn_windows_absolute_paths", {sig::arg("findings"), sig::kw("stream", "None")},
             "Print a warning listing the (where, path) `findings` to `stream` (default: sys.stderr)\n"
             "and log it; nothing for an empty list.",
             &warn_windows_absolute_paths);
}

}  // namespace brivel::workspace
