// The sampling thread's body: load figures, the overload verdict and its transitions.
#pragma once

#include "common/py.hpp"

namespace brivel::overflow {

void bind_resource_loop(py::handle cls);

}  // namespace brivel::overflow
