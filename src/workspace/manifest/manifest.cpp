#include "workspace/manifest/manifest.hpp"

#include "common/args.hpp"
#include "common/ns.hpp"
#include "common/signature.hpp"
#include "workspace/manifest/ignore.hpp"
#include "workspace/manifest/walk.hpp"

namespace brivel::workspace {
namespace {

py::object slashes(py::handle text) { return text.attr("replace")("\\", "/"); }

// list(items): always a new list (py::list of a list would share it).
py::list new_list(py::handle items) {
    PyObject* l = PySequence_List(items.ptr());
    if (!l) throw py::error_already_set();
    return py::reinterpret_steal<py::list>(l);
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

class Builder {
  public:
    py::list pending;
    py::set seen;
    py::list accumulated;

    Builder() { accumulated.append(0); }

    void add_file(py::handle local, py::handle relpath, py::handle to) {
        args::exact_str(relpath, "relpath");
        args::exact_str(to, "to", true);
        Py_ssize_t before = PySet_GET_SIZE(seen.ptr());
        if (PySet_Add(seen.ptr(), relpath.ptr()) < 0) throw py::error_already_set();
        if (PySet_GET_SIZE(seen.ptr()) == before) return;  // the first file under a relpath wins
        pending.append(py::make_tuple(local, relpath, to));
    }

    // Consumes one walk; `mount` (when set) is the target prefix of an absolute mount.
    void walk(py::handle dir, py::handle base, py::handle ignore, py::handle follow, py::handle cap,
              py::handle mount = py::handle()) {
        py::object items = ns::call("_walk_tree", dir, py::arg("base_rel") = base, py::arg("ignore") = ignore,
                                    py::arg("follow_symlinks") = follow, py::arg("cap_bytes") = cap,
                                    py::arg("accumulated") = accumulated);
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
};

py::object build_manifest(py::args args, py::kwargs kwargs) {
    auto a = sig::bind("build_manifest", {{"spec"}, {"extra_ignore", true, false}}, args, kwargs);
    py::object spec = a[0];
    py::object extra = a[1] ? a[1] : py::none();
    check_patterns(spec.attr("ignore"), "Workspace.ignore");
    check_patterns(extra, "extra_ignore");

    // 1. Root.
    py::object root_field = spec.attr("root");
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

    // 2. Ignore list.
    py::list ignore;
    for (py::handle p : ns::get("DEFAULT_IGNORE_PATTERNS")) ignore.append(p);
    if (!root.is_none())
        for (py::handle p : ns::call("load_gitignore", root)) ignore.append(p);
    for (py::handle p : spec.attr("ignore")) ignore.append(p);
    if (args::truthy(extra))
        for (py::handle p : extra) ignore.append(p);

    // 3-4. Root walk.
    Builder b;
    py::object cap = spec.attr("max_size_bytes");
    if (!root.is_none()) b.walk(root, py::str(""), ignore, py::bool_(false), cap);

    // 5. Uploads.
    py::object uploads = spec.attr("uploads");
    for (py::handle up : uploads) {
        py::object local = resolved(up.attr("local"));
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
            b.walk(local, concat(py::str("__mounts__"), prefix), ignore, follow, cap, prefix);
        } else if (has_to) {
            b.walk(local, slashes(to).attr("rstrip")("/"), ignore, follow, cap);
        } else {
            b.walk(local, placement(local, root), ignore, follow, cap);
        }
    }

    // 6. Large-workspace warning.
    py::object total = b.accumulated[0];
    if (total >= ns::get("WARN_BYTES")) {
        PyObject* mb = PyNumber_TrueDivide(total.ptr(), py::int_(1048576).ptr());
        if (!mb) throw py::error_already_set();
        ns::get("logger").attr("warning")(
            "Workspace is large (%.1f MB). Consider adding entries to .gitignore or using Upload(...) for the "
            "directories you really need.",
            py::reinterpret_steal<py::object>(mb));
    }

    // 7. Windows paths.
    py::object findings = ns::call("detect_windows_absolute_paths", py::arg("uploads") = spec.attr("uploads"));
    if (args::truthy(findings)) ns::call("warn_windows_absolute_paths", findings);

    // 8. Resolution and hashing.
    py::object files = ns::call("_resolve_manifest_files", b.pending, root);

    // 9-10. Outputs and the record.
    py::object outputs_field = spec.attr("outputs");
    bool auto_outputs = outputs_field.equal(py::str("auto"));
    py::list outputs = auto_outputs ? py::list() : new_list(outputs_field);
    py::list own_ignore = new_list(spec.attr("ignore"));
    return ns::get("BuiltManifest")(py::arg("workspace_root") = spec.attr("workspace_root_on_vm"),
                                    py::arg("files") = files, py::arg("outputs") = outputs,
                                    py::arg("auto_outputs") = py::bool_(auto_outputs), py::arg("ignore") = own_ignore,
                                    py::arg("total_size_bytes") = b.accumulated[0]);
}

}  // namespace

void define_build_manifest(py::module_& m) { m.def("build_manifest", &build_manifest); }

}  // namespace brivel::workspace
