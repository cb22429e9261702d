// The module's last names: the active-monitor slot and the public entry `overflow`.
#pragma once

#include "common/py.hpp"

namespace brivel::overflow {

void define_active_monitor(py::module_& m);
void define_overflow(py::module_& m);

}  // namespace brivel::overflow
