// The three upload paths of a serialised argument to the data store, and the multipart
// abort, as methods of DataOffloader. Each path takes (serialized, size, upload_timeout,
// progress) and returns the data key, or None to hand the payload to the next path.
#pragma once

#include "common/py.hpp"
#include "common/signature.hpp"

namespace brivel::spillbox {

void bind_direct_upload(py::handle cls);     // _upload_direct_to_r2
void bind_multipart_upload(py::handle cls);  // _upload_multipart_to_r2
void bind_abort_multipart(py::handle cls);   // _abort_multipart
void bind_legacy_upload(py::handle cls);     // _upload_legacy

// The converted arguments of a transport call.
struct TransportArgs {
    py::object self, serialized, size, upload_timeout, progress;
};
TransportArgs transport_args(py::handle self, const sig::Bound& a);

// Defines the transport method `name` of DataOffloader: `impl(const TransportArgs&)`.
template <class F>
void def_transport(py::handle cls, const char* name, const char* doc, F impl) {
    sig::method(cls, name,
                {sig::arg("serialized").annotated("bytes"), sig::arg("size").annotated("int"),
                 sig::arg("upload_timeout").annotated("float"), sig::arg("progress"), sig::returns("Optional[str]")},
                doc, [impl](py::object self, const sig::Bound& a) { return impl(transport_args(self, a)); });
}

}  // namespace brivel::spillbox
