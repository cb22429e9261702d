// The per-call wrapper bound in place of a user function: runs the call in the cloud while
// its monitor runs and reports overload, locally otherwise or when the cloud call fails.
#pragma once

#include "common/py.hpp"

namespace brivel::overflow {

// A new wrapper of `original` for `monitor`, before functools.wraps is applied.
py::object make_routing_wrapper(py::handle monitor, py::handle original);

}  // namespace brivel::overflow
