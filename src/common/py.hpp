// Python-facing code includes this; hot loops (digest.hpp, files.hpp) do not.
#pragma once

#include <pybind11/pybind11.h>

namespace py = pybind11;
