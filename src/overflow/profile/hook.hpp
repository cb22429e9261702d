// The monitor's profile hook: a C profile function whose object is the bound
// `_profile_hook`, so sys.getprofile() shows the method while events cost no Python call.
#pragma once

#include "common/py.hpp"

namespace brivel::overflow {

void bind_profile_hook(py::handle cls);

// sys.setprofile(fn) for the calling thread; a monitor's own bound hook is installed as
// the native profile function.
void set_profile(py::handle fn);

// The calling thread's profile object, as sys.getprofile() returns it.
py::object get_profile();

}  // namespace brivel::overflow
