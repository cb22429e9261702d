#include "workspace/manifest/root.hpp"

#include "common/args.hpp"
#include "common/ns.hpp"
#include "common/signature.hpp"

namespace brivel::workspace {
namespace {

// Files and directories that mark a project's top directory.
const char* const kRootMarkers[] = {".git", "pyproject.toml", "setup.py",
                                     "package.json", "Cargo.toml", "go.mod"};

// Path.exists() already treats ENOENT, ENOTDIR, EBADF and ELOOP as absence.
py::object detect_project_root(const sig::Bound& a) {
    py::object base = args::truthy(a[0]) ? a[0] : ns::get("Path").attr("cwd")();
    py::object start = call_method(base, "resolve");
    py::object cur = start;
    for (;;) {
        for (py::handle name : ns::get("_ROOT_MARKERS")) {
            if (args::truthy(call_method(divide(cur, name), "exists"))) return cur;
        }
        py::object parent = cur.attr("parent");
        if (parent.equal(cur)) return start;
        cur = parent;
    }
}

}  // namespace

void define_project_root(py::module_& m) {
    ns::set("_ROOT_MARKERS", str_tuple(kRootMarkers));
    sig::def(m, "detect_project_root", {sig::arg("start", "None")},
             "Return the nearest directory at or above `start` (default: the current directory)\n"
             "holding a project marker (.git, pyproject.toml, setup.py, package.json, Cargo.toml,\n"
             "go.mod); `start` itself, resolved, when none does.",
             &detect_project_root);
}

}  // namespace brivel::workspace
