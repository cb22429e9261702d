// _walk_tree: the lazy, size-capped walk of one directory tree.
#pragma once

#include "common/py.hpp"

namespace brivel::workspace {

void define_walk_tree(py::module_& m);

}  // namespace brivel::workspace
