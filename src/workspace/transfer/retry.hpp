// How a failed transfer to the object store is classified (transient, expired URL, vanished
// multipart upload) and how long a worker pauses before the next attempt.
#pragma once

#include <functional>

#include "common/py.hpp"

namespace brivel::workspace {

void define_transient_test(py::module_& m);  // _is_transient_http
void define_url_expiry_markers(py::module_& m);  // _URL_EXPIRY_MARKERS
void define_retry_rules(py::module_& m);     // _is_expired_url, _sleep_backoff, _is_no_such_upload

// Attempts of one object-store transfer, read at call time. Never fewer than one: with no
// attempt at all an upload would be reported as stored without a byte sent.
long long transfer_attempts();

// The attempt loop of a PUT to a presigned URL: `once(url)` makes one attempt and returns
// its result. After an ordinary failure: an expired URL with a `remint` callable gets a
// fresh URL and the next attempt at once (a failing re-mint is ignored); a transient
// failure, and with `retry_runtime_errors` a RuntimeError, pauses with _sleep_backoff and
// tries again while attempts are left; anything else is raised unchanged. When the last
// attempt ends in a re-mint, its failure is raised.
py::object retry_put(py::object url, py::handle remint, bool retry_runtime_errors,
                     const std::function<py::object(py::handle url)>& once);

}  // namespace brivel::workspace
