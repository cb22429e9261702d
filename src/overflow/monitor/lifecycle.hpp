// Starting and stopping a monitor: GPU set-up, profile hook, threads, exit handler.
#pragma once

#include "common/py.hpp"

namespace brivel::overflow {

// start, _init_gpu, stop.
void bind_start_stop(py::handle cls);

}  // namespace brivel::overflow
