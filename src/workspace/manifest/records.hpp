// The caller's workspace description (Upload, Output, Workspace), the built manifest
// (ManifestFile, BuiltManifest) and WorkspaceTooLargeError.
#pragma once

#include "common/py.hpp"

namespace brivel::workspace {

void define_input_records(py::module_& m);     // Upload, Output, Workspace
void define_manifest_records(py::module_& m);  // ManifestFile, BuiltManifest
void define_too_large_error(py::module_& m);   // WorkspaceTooLargeError

}  // namespace brivel::workspace
