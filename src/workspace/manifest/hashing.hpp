// Content hashing of one local file (_sha256_file).
#pragma once

#include <cstddef>

#include "common/py.hpp"

namespace brivel::workspace {

void define_sha256_file(py::module_& m);

// CHUNK_SIZE as read now, as a usable block size.
std::size_t hash_chunk_size();

}  // namespace brivel::workspace
