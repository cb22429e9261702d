#pragma once

#include "common/py.hpp"

namespace brivel::spillbox {

// _stream_bytes: a payload cut into copied chunks for a streamed request body, with a
// cumulative progress report after each chunk has been taken.
void define_stream_bytes(py::module_& m);

}  // namespace brivel::spillbox
