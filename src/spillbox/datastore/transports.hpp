// The three upload paths of a serialised argument to the data store, and the multipart
// abort, as methods of DataOffloader. Each path takes (serialized, size, upload_timeout,
// progress) and returns the data key, or None to hand the payload to the next path.
#pragma once

#include "common/py.hpp"

namespace brivel::spillbox {

void bind_direct_upload(py::handle cls);     // _upload_direct_to_r2
void bind_multipart_upload(py::handle cls);  // _upload_multipart_to_r2
void bind_abort_multipart(py::handle cls);   // _abort_multipart
void bind_legacy_upload(py::handle cls);     // _upload_legacy

// The converted arguments of a transport call.
struct TransportArgs {
    py::object self, serialized, size, upload_timeout, progress;
};
TransportArgs bind_transport(const char* qualname, py::handle self, const py::args& args,
                             const py::kwargs& kwargs);

}  // namespace brivel::spillbox
