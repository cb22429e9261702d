#include "workspace/manifest/manifest.hpp"

#include "common/args.hpp"
#include "common/attr.hpp"
#include "common/gc_pause.hpp"
#include "common/ns.hpp"
#include "common/signature.hpp"
#include "workspace/manifest/ignore.hpp"
#include "workspace/manifest/native_build.hpp"
#include "workspace/manifest/walk.hpp"

namespace brivel::workspace {
namespace {

py::object slashes(py::handle text) { return text.attr("replace")("\\", "/"); }

// The first field read from a record the caller passed: an object without it is not the
// record expected, and the error says so in the caller's terms rather than as a missing
// attribute.
py::object record_field(py::handle obj, const char* field, const std::string& what, const char* expected) {
    if (py::object v = attr::find(obj, field)) return v;
    args::wrong_record(obj, what.c_str(), expected);
}

// Workspace.outputs other than "auto": Output records, copied. What is not one would be
// lost without a word (the manifest document carries Outputs only), and a string would be
// read letter by letter, so either is refused before any work.
py::list checked_outputs(py::handle outputs) {
    const char* what = "Workspace.outputs";
    const char* expected = "\"auto\" or a list of Output";
    args::not_one_string(outputs, what, expected);
    PyObject* it = PyObject_GetIter(outputs.ptr());
    if (!it && PyErr_ExceptionMatches(PyExc_TypeError)) {
        PyErr_Clear();
        args::wrong_record(outputs, what, expected);
    }
    py::list items = new_list(steal_or_throw(it));
    py::object output_cls = ns::get("Output");
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.ptr()); ++i) {
        py::handle item = PyList_GET_ITEM(items.ptr(), i);
        if (!py::isinstance(item, output_cls))
            args::wrong_record(item, ("Workspace.outputs[" + std::to_string(i) + "]").c_str(), "an Output");
    }
    return items;
}

py::object resolved(py::handle value) { return call_method(ns::get("Path")(value), "resolve"); }

// The path of `local` relative to the root, "/"-separated, or its last component when
// there is no root or it lies outside it.
py::object placement(py::handle local, py::handle root) {
    if (!root.is_none()) {
        try {
            return slashes(py::str(local.attr("relative_to")(root)));
        } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_ValueError)) throw;
        }
    }
    return local.attr("name");
}

// The step-by-step build: each walk through the namespace's _walk_tree, then the files
// resolved by its _resolve_manifest_files. NativeBuild has the same shape.
class Builder {
  public:
    Builder(py::object root, py::list ignore) : root_(std::move(root)), ignore_(std::move(ignore)) {
        accumulated_.append(0);
    }

    void add_file(py::handle local, py::handle relpath, py::handle to) {
        args::exact_str(relpath, "relpath");
        args::exact_str(to, "to", true);
        Py_ssize_t before = PySet_GET_SIZE(seen_.ptr());
        if (PySet_Add(seen_.ptr(), relpath.ptr()) < 0) throw py::error_already_set();
        if (PySet_GET_SIZE(seen_.ptr()) == before) return;  // the first file under a relpath wins
        pending_.append(py::make_tuple(local, relpath, to));
    }

    // Consumes one walk; `mount` (when set) is the target prefix of an absolute mount.
    void walk(py::handle dir, py::handle base, py::handle follow, py::handle cap, py::handle mount) {
        py::object items = ns::call("_walk_tree", dir, py::arg("base_rel") = base, py::arg("ignore") = ignore_,
                                    py::arg("follow_symlinks") = follow, py::arg("cap_bytes") = cap,
                                    py::arg("accumulated") = accumulated_);
        Py_ssize_t skip = mount ? PyUnicode_GET_LENGTH(base.ptr()) + 1 : 0;
        auto add = [&](py::handle path, py::handle rel) {
            if (!mount) return add_file(path, rel, py::none());
            py::object below = rel[py::slice(py::int_(skip), py::none(), py::none())];
            add_file(path, rel, concat(concat(mount, py::str("/")), below));
        };
        if (is_walk(items)) {
            py::object path, rel;
            while (walk_step(items, path, rel)) add(path, rel);
            return;
        }
        for (py::handle item : py::iter(items)) {
            auto v = sig::unpack(item, 2);
            add(v[0], v[1]);
        }
    }

    py::object total() const { return accumulated_[0]; }

    py::object files() { return ns::call("_resolve_manifest_files", pending_, root_); }

  private:
    py::object root_;
    py::list ignore_;
    py::list pending_;
    py::set seen_;
    py::list accumulated_;
};

// The root's own files, then the explicit uploads (single files, or directories walked
// under their target), the size and path warnings, then the files stat'ed and hashed.
template <class B>
py::object collect(B& b, py::handle spec, py::handle root) {
    py::object cap = args::to_int(spec.attr("max_size_bytes"), "max_size_bytes", true);
    if (!root.is_none()) b.walk(root, py::str(""), py::bool_(false), cap, py::handle());

    py::object uploads = spec.attr("uploads");
    std::size_t index = 0;
    for (py::handle up : uploads) {
        std::string what = "Workspace.uploads[" + std::to_string(index++) + "]";
        py::object local = resolved(record_field(up, "local", what, "an Upload"));
        if (!args::truthy(call_method(local, "exists"))) {
            py::str message = concat(py::str("Upload target does not exist: "), py::str(local));
            PyErr_SetObject(PyExc_FileNotFoundError, message.ptr());
            throw py::error_already_set();
        }
        py::object to = up.attr("to");
        bool has_to = args::truthy(to);
        bool absolute = has_to && args::truthy(to.attr("startswith")("/"));
        if (args::truthy(call_method(local, "is_file"))) {
            if (absolute)
                b.add_file(local, concat(py::str("__mounts__/"), to.attr("lstrip")("/")), to);
            else if (has_to)
                b.add_file(local, slashes(to), py::none());
            else
                b.add_file(local, placement(local, root), py::none());
            continue;
        }
        py::object follow = up.attr("follow_symlinks");
        if (absolute) {
            py::object prefix = to.attr("rstrip")("/");
            b.walk(local, concat(py::str("__mounts__"), prefix), follow, cap, prefix);
        } else if (has_to) {
            b.walk(local, slashes(to).attr("rstrip")("/"), follow, cap, py::handle());
        } else {
            b.walk(local, placement(local, root), follow, cap, py::handle());
        }
    }

    // A warning for a large workspace.
    py::object total = b.total();
    if (total >= ns::get("WARN_BYTES")) {
        ns::get("logger").attr("warning")(
            "Workspace is large (%.1f MB). Consider adding entries to .gitignore or using Upload(...) for the "
            "directories you really need.",
            divide(total, py::int_(1048576)));
    }

    // A warning for Windows paths in the upload targets.
    py::object findings = ns::call("detect_windows_absolute_paths", py::arg("uploads") = spec.attr("uploads"));
    if (args::truthy(findings)) ns::call("warn_windows_absolute_paths", findings);

    return b.files();
}

py::object build_manifest(const sig::Bound& a) {
    GcPause gc;  // tens of thousands of paths and records, none of them in a cycle
    py::object spec = a[0];
    py::object extra = a[1];
    // The Workspace argument is checked before any work: a wrong kind of object, then patterns
    // given as one string, then outputs that would be lost.
    py::object root_field = record_field(spec, "root", "build_manifest() argument 'spec'", "a Workspace");
    check_patterns(spec.attr("ignore"), "Workspace.ignore");
    check_patterns(extra, "extra_ignore");
    py::object outputs_field = spec.attr("outputs");
    const bool auto_outputs = outputs_field.equal(py::str("auto"));
    py::list outputs = auto_outputs ? py::list() : checked_outputs(outputs_field);

    // The project root: found, none, or the given directory.
    py::object root;
    if (root_field.equal(py::str("auto"))) {
        root = ns::call("detect_project_root");
    } else if (root_field.is_none()) {
        root = py::none();
    } else {
        root = resolved(root_field);
        if (!args::truthy(call_method(root, "exists")) || !args::truthy(call_method(root, "is_dir"))) {
            py::str message = concat(py::str("Workspace root does not exist or is not a directory: "), py::str(root));
            PyErr_SetObject(PyExc_ValueError, message.ptr());
            throw py::error_already_set();
        }
    }

    // Ignore list: the defaults, the root's .gitignore, the Workspace's own patterns, then the extra ones.
    py::list ignore;
    for (py::handle p : ns::get("DEFAULT_IGNORE_PATTERNS")) ignore.append(p);
    if (!root.is_none())
        for (py::handle p : ns::call("load_gitignore", root)) ignore.append(p);
    for (py::handle p : spec.attr("ignore")) ignore.append(p);
    if (args::truthy(extra))
        for (py::handle p : extra) ignore.append(p);

    // Natively while every step is the module's own, else step by step.
    py::object files, total;
    if (std::unique_ptr<NativeBuild> native = NativeBuild::start(root, ignore)) {
        files = collect(*native, spec, root);
        total = native->total();
    } else {
        Builder b(root, ignore);
        files = collect(b, spec, root);
        total = b.total();
    }

    // The record.
    py::list own_ignore = new_list(spec.attr("ignore"));
    return ns::get("BuiltManifest")(py::arg("workspace_root") = spec.attr("workspace_root_on_vm"),
                                    py::arg("files") = files, py::arg("outputs") = outputs,
                                    py::arg("auto_outputs") = py::bool_(auto_outputs), py::arg("ignore") = own_ignore,
                                    py::arg("total_size_bytes") = total);
}

}  // namespace

void define_build_manifest(py::module_& m) {
    sig::def(m, "build_manifest", {sig::arg("spec"), sig::kw("extra_ignore", "None")},
             "Walk the Workspace `spec` and return its BuiltManifest: the files to mirror (hashed,\n"
             "with the hash cache), the outputs and the ignore list. `extra_ignore` adds patterns\n"
             "for this build. Raises ValueError for a missing root, FileNotFoundError for a missing\n"
             "Upload, WorkspaceTooLargeError over max_size_bytes.",
             &build_manifest);
}

}  // namespace brivel::workspace
