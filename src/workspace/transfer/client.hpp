// WorkspaceClient: the HTTP client of the job API and of the presigned object-store URLs,
// shared by every worker thread of one sync call.
#pragma once

#include <initializer_list>
#include <vector>

#include "common/pool.hpp"
#include "common/py.hpp"
#include "common/signature.hpp"

namespace brivel::workspace {

void define_workspace_client(py::module_& m);

// upload_blob and upload_blob_single, bound onto the class in its method order.
void bind_single_put(py::handle cls);

// multipart_create, multipart_presign_parts, multipart_complete, multipart_abort.
void bind_multipart_protocol(py::handle cls);
// upload_blob_multipart, _multipart_attempt, _put_part_bytes.
void bind_multipart_engine(py::handle cls);

// POST of a JSON body (or none, for a None body) to a job-API URL with the client's
// headers; an error status raises. The decoded reply as it is, or checked to be a dict
// or None.
py::object api_post_json(py::handle self, py::handle url, py::handle body);
py::object api_post(py::handle self, py::handle url, py::handle body);

// Breaks off the requests in flight on both connection pools of the WorkspaceClient
// `client` (net::break_off), for a pool of its workers that was stopped.
pool::BreakOff break_off_requests(py::object client);

}  // namespace brivel::workspace
