// brivel.spillbox: keeps large call arguments out of remote-call requests.
#include "common/module.hpp"
#include "common/ns.hpp"

BRIVEL_MODULE(spillbox, m) { brivel::ns::bind(m); }
