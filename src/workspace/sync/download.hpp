// Output download. Registered now so that every public name exists (a star import works);
// the resumable download road replaces the placeholder.
#pragma once

#include "common/py.hpp"

namespace brivel::workspace {

void define_download_outputs(py::module_& m);

}  // namespace brivel::workspace
