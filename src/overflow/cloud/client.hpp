// The monitor's cloud client: created once (or latched as failed), warmed in the
// background, and used for each offloaded call with the profile hook off.
#pragma once

#include "common/py.hpp"

namespace brivel::overflow {

// _warm_portvel, _get_portvel, _cloud_execute.
void bind_cloud(py::handle cls);

// Best-effort close of a client: verbose off, then __exit__(None, None, None).
void close_client(py::handle client);

}  // namespace brivel::overflow
