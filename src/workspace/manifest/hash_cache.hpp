// The per-root hash cache: where it lives, how it is read, the stat signature of a file and
// the rule that says whether a stored hash still holds.
#pragma once

#include <functional>

#include "common/py.hpp"

namespace brivel::workspace {

void define_hash_cache(py::module_& m);  // _hash_cache_dir ... _hash_cache_hit

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
