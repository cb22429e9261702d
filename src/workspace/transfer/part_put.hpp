// The PUT of one part's bytes to a presigned part URL, with its ETag check.
#pragma once

#include <string>

#include "common/signature.hpp"

namespace brivel::workspace {

// The class of part request bodies; created once while the module body runs.
void define_part_body();

// WorkspaceClient._put_part_bytes(url, data, *, checksum_b64=None, remint=None) -> str
py::object put_part_bytes(py::object self, const sig::Bound& v);

// The same PUT for a caller that knows the MD5 of `data` (lower-case hex), hashed as it
// read the bytes; empty when it does not, and the PUT computes it.
py::object put_part(py::handle self, py::handle url, py::handle data, py::handle checksum_b64, py::handle remint,
                    const std::string& md5_hex);

}  // namespace brivel::workspace
