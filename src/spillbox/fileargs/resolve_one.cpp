// _resolve_one: a local file becomes a _RemoteFile of its bytes, a local directory a
// _RemoteDir of its archive; anything else is returned as it is.
#include "common/args.hpp"
#include "common/ns.hpp"
#include "common/signature.hpp"
#include "spillbox/fileargs/fileargs.hpp"

namespace brivel::spillbox {
namespace {

py::object remote_dir(py::handle source, py::handle name) {
    auto pair = sig::unpack(ns::call("_zip_directory", source), 2);
    return ns::call("_RemoteDir", pair[0], name, pair[1]);
}

py::object resolve_one(const sig::Bound& a) {
    py::object obj = a[0];
    py::object path_type = ns::get("Path");
    py::object os_path = ns::get("os").attr("path");
    const bool is_path = py::isinstance(obj, path_type);
    const bool is_str = PyUnicode_Check(obj.ptr());
    if (is_path && args::truthy(obj.attr("is_file")()))
        return ns::call("_RemoteFile", obj.attr("read_bytes")(), obj.attr("name"));
    if (is_str && args::truthy(os_path.attr("isfile")(obj)))
        return ns::call("_RemoteFile", path_type(obj).attr("read_bytes")(), os_path.attr("basename")(obj));
    if (is_path && args::truthy(obj.attr("is_dir")())) return remote_dir(obj, obj.attr("name"));
    if (is_str && args::truthy(os_path.attr("isdir")(obj))) {
        py::object source = path_type(obj);
        // The name is taken after trailing separators, so "data/" is named data.
        return remote_dir(source, os_path.attr("basename")(obj.attr("rstrip")("/\\")));
    }
    return obj;
}

}  // namespace

void define_resolve_one(py::module_& m) {
    sig::def(m, "_resolve_one", {sig::arg("obj").annotated("Any"), sig::returns("Any")},
             "A Path or str naming a local file becomes a _RemoteFile of its bytes and base name;\n"
             "one naming a directory a _RemoteDir of its archive, base name and file count; anything\n"
             "else is returned unchanged. Read errors propagate.",
             &resolve_one);
}

}  // namespace brivel::spillbox
