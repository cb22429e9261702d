// The PUT of one part's bytes to a presigned part URL, with its ETag check.
#pragma once

#include "common/py.hpp"

namespace brivel::workspace {

// The class of part request bodies; created once while the module body runs.
void define_part_body();

// WorkspaceClient._put_part_bytes(url, data, *, checksum_b64=None, remint=None) -> str
py::object put_part_bytes(py::object self, py::args a, py::kwargs k);

}  // namespace brivel::workspace
