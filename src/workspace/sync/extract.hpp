// Unpacking of a zipped output directory, every member name tested before anything is written.
#pragma once

#include "common/py.hpp"

namespace brivel::workspace {

void define_extract_output_zip(py::module_& m);  // _extract_output_zip

// RuntimeError "<prefix><name>", with `cause` (when given) as its __cause__.
[[noreturn]] void raise_unsafe(const char* prefix, py::handle name, py::handle cause = py::handle());

}  // namespace brivel::workspace
