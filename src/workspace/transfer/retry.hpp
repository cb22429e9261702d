// How a failed transfer to the object store is classified (transient, expired URL, vanished
// multipart upload) and how long a worker pauses before the next attempt.
#pragma once

#include "common/py.hpp"

namespace brivel::workspace {

void define_transient_test(py::module_& m);  // _is_transient_http
void define_url_expiry_markers(py::module_& m);  // _URL_EXPIRY_MARKERS
void define_retry_rules(py::module_& m);     // _is_expired_url, _sleep_backoff, _is_no_such_upload

// Attempts of one object-store transfer, read at call time. Never fewer than one: with no
// attempt at all an upload would be reported as stored without a byte sent.
long long transfer_attempts();

}  // namespace brivel::workspace
