// The hash-cache document as json.dumps writes it with no options, produced directly
// for the common case of string keys and entries of integers and strings.
#pragma once

#include "common/py.hpp"

namespace brivel::workspace {

// The text of {"version": 1, "entries": entries}, or None when an entry holds anything
// but exact str keys with exact int or str values (the caller then uses json.dumps).
py::object cache_document(py::handle entries);

}  // namespace brivel::workspace
