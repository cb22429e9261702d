// The ETag of an object-store reply, as both modules' part uploads read it.
#pragma once

#include <string>

#include "common/py.hpp"

namespace brivel::etag {

// The reply's "ETag" header (else "etag"), every edge double quote removed; "" when it has
// none.
std::string of_reply(py::handle resp);

}  // namespace brivel::etag
