// Import-time configuration of the workspace module: standard names, logger, constants
// from the PORTVEL_ variables, derived connection limits, marker tuples and __all__.
#pragma once

#include "common/py.hpp"

namespace brivel::workspace {

// Standard modules and names, httpx, logger, the Windows-path pattern, plain and
// environment constants, switches and derived limits, in the order the module body runs.
void define_config(py::module_& m);

void define_all(py::module_& m);

}  // namespace brivel::workspace
