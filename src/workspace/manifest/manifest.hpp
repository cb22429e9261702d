// build_manifest: a Workspace description turned into a BuiltManifest.
#pragma once

#include "common/py.hpp"

namespace brivel::workspace {

void define_build_manifest(py::module_& m);

}  // namespace brivel::workspace
