// Content hashing of local files and the per-root hash cache.
#pragma once

#include "common/py.hpp"

namespace brivel::workspace {

void define_hash_cache(py::module_& m);  // _hash_cache_dir ... _hash_cache_hit
void define_sha256_file(py::module_& m);

}  // namespace brivel::workspace
