// The pre-warm request: the calling module's source sent ahead on its own thread.
#pragma once

#include "common/py.hpp"

namespace brivel::overflow {

void bind_pre_warm(py::handle cls);

}  // namespace brivel::overflow
