#include "workspace/manifest/ignore.hpp"

#include "common/args.hpp"
#include "common/errors.hpp"
#include "common/ns.hpp"
#include "common/signature.hpp"

namespace brivel::workspace {
namespace {

// The objects the module defined, kept for the identity test of the native path.
PyObject* g_matches_ignore = nullptr;
PyObject* g_normalize = nullptr;
PyObject* g_fnmatchcase = nullptr;

// (cleaned, is_dir) of an exact str.
std::pair<py::str, bool> normalize(py::handle pattern) {
    py::str s = call_method(pattern, "strip");
    Py_ssize_t n = PyUnicode_GET_LENGTH(s.ptr());
    if (n == 0 || PyUnicode_READ_CHAR(s.ptr(), 0) == '#') return {py::str(""), false};
    if (PyUnicode_READ_CHAR(s.ptr(), n - 1) == '/') {
        PyObject* cut = PyUnicode_Substring(s.ptr(), 0, n - 1);
        if (!cut) throw py::error_already_set();
        return {py::reinterpret_steal<py::str>(cut), true};
    }
    return {s, false};
}

py::tuple normalize_pattern(py::args args, py::kwargs kwargs) {
    auto a = sig::bind("_normalize_pattern", {{"pattern"}}, args, kwargs);
    args::exact_str(a[0], "pattern");
    auto [text, is_dir] = normalize(a[0]);
    return py::make_tuple(text, py::bool_(is_dir));
}

// The rules as written, through the namespace, for a replaced _normalize_pattern or
// fnmatchcase.
bool matches_through_namespace(py::str relpath, py::handle patterns) {
    py::str rel = relpath.attr("replace")("\\", "/").attr("lstrip")("/");
    py::list parts = rel.attr("split")("/");
    for (py::handle item : py::iter(patterns)) {
        py::object cleaned = sig::unpack(ns::call("_normalize_pattern", item), 2)[0];
        if (!args::truthy(cleaned)) continue;
        py::object fn = ns::get("fnmatch").attr("fnmatchcase");
        if (args::truthy(fn(rel, cleaned))) return true;
        for (py::handle part : parts)
            if (args::truthy(fn(part, cleaned))) return true;
        if (args::truthy(cleaned.attr("endswith")("/**"))) {
            py::object prefix = cleaned[py::slice(py::none(), py::int_(-3), py::none())];
            if (args::truthy(rel.attr("startswith")(prefix))) return true;
        }
    }
    return false;
}

bool matches_ignore(py::args args, py::kwargs kwargs) {
    auto a = sig::bind("matches_ignore", {{"relpath"}, {"patterns"}}, args, kwargs);
    args::exact_str(a[0], "relpath");
    check_patterns(a[1], "patterns");
    py::str relpath = a[0];
    if (!(ns::get("_normalize_pattern").ptr() == g_normalize &&
          ns::get("fnmatch").attr("fnmatchcase").ptr() == g_fnmatchcase))
        return matches_through_namespace(relpath, a[1]);
    glob::Text rel = to_text(relpath);
    for (py::handle item : py::iter(a[1])) {
        args::exact_str(item, "pattern");
        py::str cleaned = normalize(item).first;
        if (PyUnicode_GET_LENGTH(cleaned.ptr()) == 0) continue;
        glob::RuleSet one;
        one.add(to_text(cleaned));
        if (one.ignored(rel)) return true;
    }
    return false;
}

}  // namespace

void check_patterns(py::handle patterns, const char* what) {
    if (!PyUnicode_Check(patterns.ptr()) && !PyBytes_Check(patterns.ptr())) return;
    PyErr_Format(PyExc_TypeError, "%s must be a list of patterns, not a single %.200s", what,
                 Py_TYPE(patterns.ptr())->tp_name);
    throw py::error_already_set();
}

namespace {

// Path.exists() and is_file() already treat ENOENT, ENOTDIR, EBADF and ELOOP as absence.
bool path_test(py::handle path, const char* test) { return args::truthy(call_method(path, test)); }

py::list load_gitignore(py::args args, py::kwargs kwargs) {
    auto a = sig::bind("load_gitignore", {{"root"}}, args, kwargs);
    PyObject* gi_raw = PyNumber_TrueDivide(a[0].ptr(), py::str(".gitignore").ptr());
    if (!gi_raw) throw py::error_already_set();
    py::object gi = py::reinterpret_steal<py::object>(gi_raw);
    py::list patterns;
    if (!path_test(gi, "exists") || !path_test(gi, "is_file")) return patterns;
    try {
        py::str text = gi.attr("read_text")(py::arg("encoding") = "utf-8", py::arg("errors") = "replace");
        for (py::handle line : call_method(text, "splitlines")) {
            py::str s = call_method(line, "strip");
            Py_ssize_t n = PyUnicode_GET_LENGTH(s.ptr());
            if (n == 0) continue;
            Py_UCS4 first = PyUnicode_READ_CHAR(s.ptr(), 0);
            if (first == '#' || first == '!') continue;
            patterns.append(s);
        }
    } catch (py::error_already_set& e) {
        if (!errors::ordinary(e)) throw;
        ns::get("logger").attr("debug")("Could not parse .gitignore at %s: %s", gi, e.value());
    }
    return patterns;
}

py::object detect_project_root(py::args args, py::kwargs kwargs) {
    auto a = sig::bind("detect_project_root", {{"start", false, false}}, args, kwargs);
    py::object base = a[0] && args::truthy(a[0]) ? a[0] : ns::get("Path").attr("cwd")();
    py::object start = call_method(base, "resolve");
    py::object cur = start;
    for (;;) {
        for (py::handle name : ns::get("_ROOT_MARKERS")) {
            PyObject* entry = PyNumber_TrueDivide(cur.ptr(), name.ptr());
            if (!entry) throw py::error_already_set();
            if (path_test(py::reinterpret_steal<py::object>(entry), "exists")) return cur;
        }
        py::object parent = cur.attr("parent");
        if (parent.equal(cur)) return start;
        cur = parent;
    }
}

}  // namespace

glob::Text to_text(py::handle str) {
    Py_UCS4* buf = PyUnicode_AsUCS4Copy(str.ptr());
    if (!buf) throw py::error_already_set();
    glob::Text t(reinterpret_cast<const char32_t*>(buf), static_cast<std::size_t>(PyUnicode_GET_LENGTH(str.ptr())));
    PyMem_Free(buf);
    return t;
}

py::str from_text(glob::View text) {
    PyObject* s = PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, text.data(), static_cast<Py_ssize_t>(text.size()));
    if (!s) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(s);
}

bool ignore_rules_native() {
    return ns::get("matches_ignore").ptr() == g_matches_ignore && ns::get("_normalize_pattern").ptr() == g_normalize &&
           ns::get("fnmatch").attr("fnmatchcase").ptr() == g_fnmatchcase;
}

bool compile_rules(py::handle patterns, glob::RuleSet& out) {
    glob::RuleSet rules;
    for (py::handle item : patterns) {
        if (!PyUnicode_CheckExact(item.ptr())) return false;
        py::str cleaned = normalize(item).first;
        if (PyUnicode_GET_LENGTH(cleaned.ptr()) > 0) rules.add(to_text(cleaned));
    }
    out = std::move(rules);
    return true;
}

void define_ignore_rules(py::module_& m) {
    m.def("detect_project_root", &detect_project_root);
    m.def("_normalize_pattern", &normalize_pattern);
    m.def("matches_ignore", &matches_ignore);
    m.def("load_gitignore", &load_gitignore);
    auto keep = [](const char* name) {
        PyObject* v = ns::get(name).release().ptr();  // a strong reference kept for the process
        return v;
    };
    g_normalize = keep("_normalize_pattern");
    g_matches_ignore = keep("matches_ignore");
    g_fnmatchcase = py::object(ns::get("fnmatch").attr("fnmatchcase")).release().ptr();
}

}  // namespace brivel::workspace
