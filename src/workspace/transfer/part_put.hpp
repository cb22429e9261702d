// The PUT of one part's bytes to a presigned part URL, with its ETag check.
#pragma once

#include <string>

#include "common/signature.hpp"

namespace brivel::workspace {

// The class of part request bodies; created once while the module body runs.
void define_part_body();

// The MD5 of a part's bytes, known to the part worker that read them, for the
// _put_part_bytes call it makes with that very bytes object on this thread; any other call
// computes its own.
class KnownMd5 {
  public:
    KnownMd5(py::handle data, const std::string& hex);
    ~KnownMd5();
    KnownMd5(const KnownMd5&) = delete;
    KnownMd5& operator=(const KnownMd5&) = delete;
};

// WorkspaceClient._put_part_bytes(url, data, *, checksum_b64=None, remint=None) -> str
py::object put_part_bytes(py::object self, const sig::Bound& v);

}  // namespace brivel::workspace
