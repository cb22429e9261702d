// Output download: the outputs manifest, parallel verified downloads into `.part` files
// beside their destinations, placement, and the acknowledgement once all arrived.
#pragma once

#include "common/py.hpp"

namespace brivel::workspace {

void define_download_outputs(py::module_& m);

}  // namespace brivel::workspace
