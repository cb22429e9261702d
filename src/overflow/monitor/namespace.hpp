// The first names of the module body: standard modules, typing names, the logger and the
// default service URL.
#pragma once

#include "common/py.hpp"

namespace brivel::overflow {

void define_imports(py::module_& m);
void define_logger(py::module_& m);
void define_default_api_url(py::module_& m);

}  // namespace brivel::overflow
