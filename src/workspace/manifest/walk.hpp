// _walk_tree: the lazy, size-capped walk of one directory tree.
#pragma once

#include "common/py.hpp"

namespace brivel::workspace {

void define_walk_tree(py::module_& m);

// The generator type of the walk (not a module attribute).
void define_walk_type(py::module_& m);

// Whether `obj` is a walk made by the module's _walk_tree; if so, walk_step takes its next
// (path, relpath) without building the item tuple, as iterating it would. False at the end.
bool is_walk(py::handle obj);
bool walk_step(py::handle walk, py::object& path, py::object& relpath);

}  // namespace brivel::workspace
