// brivel.spillbox: keeps large call arguments out of remote-call requests.
#include "common/ns.hpp"

PYBIND11_MODULE(spillbox, m) { brivel::ns::bind(m); }
