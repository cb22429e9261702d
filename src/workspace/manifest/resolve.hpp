// _resolve_manifest_files: stat pass with the hash cache, hash pass, cache rewrite.
#pragma once

#include "common/py.hpp"

namespace brivel::workspace {

void define_resolve_manifest_files(py::module_& m);

}  // namespace brivel::workspace
