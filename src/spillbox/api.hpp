// Shared pieces of the offloader's requests: data-API URLs and the bearer header.
#pragma once

#include "common/py.hpp"

namespace brivel::spillbox {

// format(value, ""): the text a formatted string literal puts in place of `value`.
py::str text(py::handle value);

// f"{self.api_url}{path}": no slash is added or removed.
py::str api_url(py::handle self, const char* path);

// {"Authorization": f"Bearer {self.api_key}"}.
py::dict bearer(py::handle self);

// The reply's status code as a C++ integer.
long status_of(py::handle response);

// The upload-init request of a path: POST to `path` with `auth` (60 s). A null object when the
// request fails (debug line `failed`) or the status is not 200 (silently for 404, which
// says the path is not offered; else debug line `refused`); otherwise the decoded reply.
py::object post_init(py::handle self, py::handle httpx, const char* path, py::handle auth, const char* failed,
                     const char* refused);

}  // namespace brivel::spillbox
