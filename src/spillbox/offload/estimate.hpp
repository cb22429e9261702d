#pragma once

#include "common/py.hpp"

namespace brivel::spillbox {

// estimate_arg_size and _shallow_size: cheap byte sizes of call arguments, never pickling.
void define_size_estimate(py::module_& m);

}  // namespace brivel::spillbox
