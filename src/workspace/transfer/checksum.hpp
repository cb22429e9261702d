// The object store's checksum header value of a content hash.
#pragma once

#include "common/py.hpp"

namespace brivel::workspace {

void define_checksum_b64(py::module_& m);  // _sha256_to_checksum_b64

}  // namespace brivel::workspace
