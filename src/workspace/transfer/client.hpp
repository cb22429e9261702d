// WorkspaceClient: the HTTP client of the job API and of the presigned object-store URLs,
// shared by every worker thread of one sync call.
#pragma once

#include "common/py.hpp"

namespace brivel::workspace {

void define_workspace_client(py::module_& m);

// upload_blob and upload_blob_single, bound onto the class in its method order.
void bind_single_put(py::handle cls);

}  // namespace brivel::workspace
