// Content hashing of local files and the per-root hash cache.
#pragma once

#include <cstddef>
#include <functional>

#include "common/py.hpp"

namespace brivel::workspace {

void define_hash_cache(py::module_& m);  // _hash_cache_dir ... _hash_cache_hit
void define_sha256_file(py::module_& m);

// CHUNK_SIZE as read now, as a usable block size.
std::size_t hash_chunk_size();

// Interned member names of a cache entry: the stat signature's, in signature order
// (size, mtime_ns, ctime_ns, inode), then "sha256".
const py::str& signature_key(int i);
const py::str& sha256_key();

// A member of an exact dict; a missing member reads as None.
py::object member_or_none(py::handle d, py::handle key);

// The cache-hit rule: the stored hash (as text) when the non-empty entry `cached` has a
// true 64-character "sha256" and its signature members equal `current(i)`, else None.
py::object matching_hash(py::handle cached, const std::function<py::object(int)>& current);

}  // namespace brivel::workspace
