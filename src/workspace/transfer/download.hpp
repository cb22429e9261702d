// Resumable download of one object from a presigned GET URL into a local file.
#pragma once

#include "common/py.hpp"

namespace brivel::workspace {

// download_artifact_to_file, bound onto WorkspaceClient after its job-API calls.
void bind_artifact_download(py::handle cls);

}  // namespace brivel::workspace
