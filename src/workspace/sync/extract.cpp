#include "workspace/sync/extract.hpp"

#include <vector>

#include "common/args.hpp"
#include "common/context.hpp"
#include "common/errors.hpp"
#include "common/ns.hpp"
#include "common/signature.hpp"

namespace brivel::workspace {
namespace {

using namespace pybind11::literals;

bool starts_with(py::handle s, const char* prefix) { return args::truthy(s.attr("startswith")(prefix)); }

// A name that is absolute, or that climbs with "..", is refused whatever it would resolve to.
bool unsafe_name(py::handle member) {
    if (starts_with(member, "/") || starts_with(member, "\\")) return true;
    for (py::handle seg : member.attr("split")("/"))
        if (py::str(seg).equal(py::str(".."))) return true;
    return false;
}

// Where the member would land once links already on disk are followed; refused unless at
// or below the extraction root.
py::object check_contained(py::handle root, py::handle safe, py::handle member) {
    py::object real = call_method(divide(root, member), "resolve");
    try {
        real.attr("relative_to")(safe);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_ValueError)) throw;
        raise_unsafe("Unsafe output zip entry: ", member, e.value());
    }
    return real;
}

// A pipe, socket or device already where a member lands is refused before anything is
// written: opening a pipe to write waits for a reader.
void check_landing(py::handle real) {
    if (!args::truthy(call_method(real, "exists")) || args::truthy(call_method(real, "is_file")) ||
        args::truthy(call_method(real, "is_dir")))
        return;
    errors::raise_not_regular(to_str(real));
}

void extract(py::handle zip_path, py::handle target) {
    target.attr("mkdir")("parents"_a = true, "exist_ok"_a = true);
    py::object zipfile = ns::import("zipfile");
    ctx::with(zipfile.attr("ZipFile")(zip_path, "r"), [&](py::object zf) {
        py::list names = zf.attr("namelist")();
        py::str prefix = concat(target.attr("name"), py::str("/"));
        // An archive whose files all sit in one folder named like the destination is that
        // folder itself: it is unpacked beside, so its content lands in the destination.
        bool any_file = false, all_wrapped = true;
        for (py::handle name : names) {
            if (args::truthy(name.attr("endswith")("/"))) continue;  // directory entries do not decide
            any_file = true;
            if (!args::truthy(name.attr("startswith")(prefix))) {
                all_wrapped = false;
                break;
            }
        }
        py::object root = any_file && all_wrapped ? target.attr("parent") : py::reinterpret_borrow<py::object>(target);
        py::object safe = call_method(root, "resolve");
        for (py::handle member : names) {
            if (unsafe_name(member)) raise_unsafe("Unsafe output zip entry: ", member);
            check_landing(check_contained(root, safe, member));
        }
        // zipfile writes regular files and directories only, with default permissions: link
        // and mode bits recorded in the archive are not applied.
        zf.attr("extractall")(root);
    });
}

void extract_output_zip(const sig::Bound& a) { extract(a[0], a[1]); }

constexpr const char* kDoc =
    "Unpacks the ZIP archive at `zip_path` into the directory `target` (created when missing);\n"
    "an archive whose files all lie in a folder named like `target` is unwrapped into it.\n"
    "Every member name is tested first: RuntimeError \"Unsafe output zip entry: <name>\" for an\n"
    "absolute name, a \"..\" segment or a path that resolves outside, and OSError \"Not a\n"
    "regular file\" for a pipe or device where a member would land, with nothing written.";

}  // namespace

void raise_unsafe(const char* prefix, py::handle name, py::handle cause) {
    py::object msg = concat(py::str(prefix), to_str(name));
    py::object exc = py::reinterpret_borrow<py::object>(PyExc_RuntimeError)(msg);
    if (cause) PyException_SetCause(exc.ptr(), py::reinterpret_borrow<py::object>(cause).release().ptr());
    PyErr_SetObject(PyExc_RuntimeError, exc.ptr());
    throw py::error_already_set();
}

void define_extract_output_zip(py::module_& m) {
    sig::def(m, "_extract_output_zip", {sig::arg("zip_path"), sig::arg("target")}, kDoc, &extract_output_zip);
}

}  // namespace brivel::workspace
