// One part of a multipart data upload: cut from the payload, PUT to its presigned URL with
// the upload's shared client, its ETag checked against the part's MD5, transient failures
// retried with a deterministic back-off.
#pragma once

#include <cstdint>
#include <memory>

#include "common/py.hpp"

namespace brivel::spillbox {

// State of one upload shared by its part workers and its dispatching thread.
struct PartUpload {
    py::object serialized;         // the payload (bytes); parts are streamed straight from it
    std::int64_t size = 0;         // the declared payload length
    py::object size_obj;           // the same, as the int given
    std::int64_t part_size = 0;
    py::object progress;           // progress object or None
    py::object lock;               // threading.Lock: the byte counter and the warning flag
    std::int64_t sent = 0;         // bytes of reaped parts, under `lock`
    bool warned_nonhex = false;    // under `lock`
    py::object transfer, httpx;
};

// _put_part(pn, url) -> (pn, etag), for the upload's pool.
py::object part_put_function(std::shared_ptr<PartUpload> up);

}  // namespace brivel::spillbox
