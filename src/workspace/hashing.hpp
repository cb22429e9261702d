// Content hashing of local files and the per-root hash cache.
#pragma once

#include <cstddef>

#include "common/py.hpp"

namespace brivel::workspace {

void define_hash_cache(py::module_& m);  // _hash_cache_dir ... _hash_cache_hit
void define_sha256_file(py::module_& m);

// CHUNK_SIZE as read now, as a usable block size.
std::size_t hash_chunk_size();

}  // namespace brivel::workspace
