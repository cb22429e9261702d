#include "spillbox/datastore/transports.hpp"

#include "common/args.hpp"

namespace brivel::spillbox {

TransportArgs transport_args(py::handle self, const sig::Bound& a) {
    args::exact_bytes(a[0], "serialized");
    return {py::reinterpret_borrow<py::object>(self), a[0], args::to_int(a[1], "size"),
            args::to_float(a[2], "upload_timeout"), a[3]};
}

}  // namespace brivel::spillbox
