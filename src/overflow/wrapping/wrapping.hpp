// In-place wrapping: finding user functions from frames and module namespaces, rebinding
// them to wrappers once each, and putting the originals back.
#pragma once

#include "common/py.hpp"

namespace brivel::overflow {

void define_wrap_record(py::module_& m);
// _try_wrap_from_frame, _wrap_scope, _register_wrap, _make_wrapper.
void bind_wrapping(py::handle cls);
void bind_unwrap_all(py::handle cls);

}  // namespace brivel::overflow
