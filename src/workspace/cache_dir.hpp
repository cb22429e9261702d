// The user's cache directory: BRIVEL_CACHE_DIR when set and not empty, else .brivel_cache in
// the home directory, looked up at each use.
#pragma once

#include "common/py.hpp"

namespace brivel::workspace {

// The Path of subdirectory `name` of the cache directory, created with its parents when
// missing; a failure to create it is ignored (later writes fail and are ignored in turn).
py::object cache_subdir(const char* name);

}  // namespace brivel::workspace
