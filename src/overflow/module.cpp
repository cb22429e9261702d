// brivel.overflow: routes heavy user functions to the cloud while the machine is overloaded.
#include "common/ns.hpp"

PYBIND11_MODULE(overflow, m) { brivel::ns::bind(m); }
