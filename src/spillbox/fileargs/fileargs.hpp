// Local file and directory arguments shipped as path-like references that carry their
// content and write it out on first use on the receiving side.
#pragma once

#include "common/py.hpp"

namespace brivel::spillbox {

// _RemoteFile and _RemoteDir.
void define_remote_refs(py::module_& m);
// _zip_directory: a directory tree as an in-memory Deflate archive.
void define_zip_directory(py::module_& m);
// _is_local_file and _is_local_dir.
void define_local_tests(py::module_& m);
// _resolve_one: one local path to its reference.
void define_resolve_one(py::module_& m);
// resolve_file_args: the scan of a call's arguments.
void define_resolve_file_args(py::module_& m);

}  // namespace brivel::spillbox
