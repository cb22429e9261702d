// The resolving wrapper returned by offload_large_args: a callable that, where the call
// runs, fetches each offloaded argument by its data key and calls the wrapped function.
#pragma once

#include "common/py.hpp"

namespace brivel::spillbox {

// Creates the wrapper type. It is bound in the module under a dunder name only, so that a
// pickled wrapper names a class the remote interpreter can import; the module's own names
// stay as they are.
void define_resolving_wrapper(py::module_& m);

// A new wrapper over the four captured values, with functools.wraps(func) applied.
py::object make_resolving_wrapper(py::handle func, py::dict arg_refs, py::dict kwarg_refs, py::handle api_url);

}  // namespace brivel::spillbox
