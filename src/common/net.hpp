// Breaking off the HTTP requests in flight on a client's connections, for a call that was
// interrupted while its workers wait on a server: a request blocked on a silent server would
// otherwise hold the call (and the interpreter's exit) until its time-out.
#pragma once

#include "common/py.hpp"

namespace brivel::net {

// Shuts down the socket of every connection of the httpx.Client `client` (a None or closed
// client has none): a thread blocked reading or writing on one wakes at once with a
// transport error. Closing the socket would not wake it. Best effort: a client whose
// transport keeps its connections elsewhere is left alone, and no error of this step
// (KeyboardInterrupt included, for the second Ctrl-C) escapes.
void break_off(py::handle client) noexcept;

// The status code of the reply an HTTP error carries (exc.response.status_code), or None.
py::object reply_status(py::handle exc);

// A failure worth retrying: a reply of status 408, 429 or 5xx, or, with no reply, one of the
// HTTP client's (module `httpx`) transport errors or time-outs.
bool transient(py::handle exc, py::handle httpx);

}  // namespace brivel::net
