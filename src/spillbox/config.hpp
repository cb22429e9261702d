// Import-time configuration of the offload module: standard names, logger and the
// constants, four of them from the PORTVEL_DATA_ variables.
#pragma once

#include "common/py.hpp"

namespace brivel::spillbox {

void define_config(py::module_& m);

// The module logger's method `level` called with a printf-style format and its arguments.
template <class... Args>
void log(const char* level, const char* format, Args&&... args);

}  // namespace brivel::spillbox

#include "common/ns.hpp"

namespace brivel::spillbox {

template <class... Args>
void log(const char* level, const char* format, Args&&... args) {
    ns::get("logger").attr(level)(format, std::forward<Args>(args)...);
}

}  // namespace brivel::spillbox
