// The project root: _ROOT_MARKERS and detect_project_root.
#pragma once

#include "common/py.hpp"

namespace brivel::workspace {

void define_project_root(py::module_& m);

}  // namespace brivel::workspace
