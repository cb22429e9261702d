// The `_OverflowMonitor` class: construction, pickled state, and its methods from every
// subsystem in their definition order.
#pragma once

#include "common/py.hpp"

namespace brivel::overflow {

void define_monitor(py::module_& m);

}  // namespace brivel::overflow
