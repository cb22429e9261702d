// brivel.overflow: routes heavy user functions to the cloud while the machine is overloaded.
#include "common/module.hpp"
#include "common/ns.hpp"

BRIVEL_MODULE(overflow, m) { brivel::ns::bind(m); }
