#include "workspace/manifest/ignore.hpp"

#include "common/args.hpp"
#include "common/errors.hpp"
#include "common/ns.hpp"
#include "common/signature.hpp"
#include "workspace/state.hpp"

namespace brivel::workspace {
namespace {

// Patterns every build ignores: version control, caches, virtual environments, editors.
const char* const kDefaultIgnore[] = {
    ".git/", "__pycache__/", "*.pyc", "*.pyo", ".venv/", "venv/", "env/",
    "node_modules/", ".cursor/", ".idea/", ".vscode/", ".DS_Store", ".pytest_cache/",
    ".mypy_cache/", ".ruff_cache/", ".brivel_cache/", "*.egg-info/", ".coverage", "htmlcov/"};


// While _normalize_pattern and fnmatch.fnmatchcase are the module's own, patterns are
// matched natively.
bool own_pattern_rules() {
    const ModuleState& mod = state();
    return own("_normalize_pattern", mod.normalize_pattern) &&
           py::object(ns::get("fnmatch").attr("fnmatchcase")).is(mod.fnmatchcase);
}

// (cleaned, is_dir) of an exact str.
std::pair<py::str, bool> normalize(py::handle pattern) {
    py::str s = call_method(pattern, "strip");
    Py_ssize_t n = PyUnicode_GET_LENGTH(s.ptr());
    if (n == 0 || PyUnicode_READ_CHAR(s.ptr(), 0) == '#') return {py::str(""), false};
    if (PyUnicode_READ_CHAR(s.ptr(), n - 1) == '/') {
        return {steal_or_throw<py::str>(PyUnicode_Substring(s.ptr(), 0, n - 1)), true};
    }
    return {s, false};
}

py::tuple normalize_pattern(const sig::Bound& a) {
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

bool matches_ignore(const sig::Bound& a) {
    args::exact_str(a[0], "relpath");
    check_patterns(a[1], "patterns");
    py::str relpath = a[0];
    if (!own_pattern_rules())
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
    args::not_one_string(patterns, what, "a list of patterns");
}

namespace {

// Path.exists() and is_file() already treat ENOENT, ENOTDIR, EBADF and ELOOP as absence.
bool path_test(py::handle path, const char* test) { return args::truthy(call_method(path, test)); }

py::list load_gitignore(const sig::Bound& a) {
    py::object gi = divide(a[0], py::str(".gitignore"));
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

}  // namespace

py::tuple default_ignore_patterns() { return str_tuple(kDefaultIgnore); }

glob::Text to_text(py::handle str) {
    Py_UCS4* buf = PyUnicode_AsUCS4Copy(str.ptr());
    if (!buf) throw py::error_already_set();  // not a new reference: freed below
    glob::Text t(reinterpret_cast<const char32_t*>(buf), static_cast<std::size_t>(PyUnicode_GET_LENGTH(str.ptr())));
    PyMem_Free(buf);
    return t;
}

py::str from_text(glob::View text) {
    return steal_or_throw<py::str>(
        PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, text.data(), static_cast<Py_ssize_t>(text.size())));
}

bool ignore_rules_native() {
    return own("matches_ignore", state().matches_ignore) && own_pattern_rules();
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
    sig::def(m, "_normalize_pattern", {sig::arg("pattern")},
             "Return (pattern without surrounding space and trailing '/', whether it named a directory);\n"
             "('', False) for a blank line or a comment.",
             &normalize_pattern);
    sig::def(m, "matches_ignore", {sig::arg("relpath"), sig::arg("patterns")},
             "Return True when the '/'-separated path `relpath`, or any one of its components,\n"
             "matches one of the ignore `patterns` (fnmatch rules; 'dir/**' also matches below dir).",
             &matches_ignore);
    sig::def(m, "load_gitignore", {sig::arg("root")},
             "Return the patterns of `root`/.gitignore, without blank lines, comments and '!' negations;\n"
             "an empty list when there is no such file.",
             &load_gitignore);
    ModuleState& mod = state();
    mod.normalize_pattern = ns::get("_normalize_pattern");
    mod.matches_ignore = ns::get("matches_ignore");
    mod.fnmatchcase = ns::get("fnmatch").attr("fnmatchcase");
}

}  // namespace brivel::workspace
