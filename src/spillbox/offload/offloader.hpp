#pragma once

#include "common/py.hpp"

namespace brivel::spillbox {

// DataOffloader: its class attribute and its eleven methods, in their order.
void define_data_offloader(py::module_& m);

}  // namespace brivel::spillbox
