// upload_workspace: posts a built manifest, uploads the blobs the server's plan asks for
// (legacy road, or small-file and large-file tiers) and completes the upload.
#pragma once

#include "common/py.hpp"

namespace brivel::workspace {

void define_upload_workspace(py::module_& m);

}  // namespace brivel::workspace
