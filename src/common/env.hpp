// Import-time configuration from the environment, shared by the modules that read their
// PORTVEL_ variables once when their body runs.
#pragma once

#include "common/py.hpp"

namespace brivel::env {

// os.environ.get(var, default_text): the variable's text when set (even empty), else the
// default. `os` is the module's own binding, looked up in its namespace.
py::object text(const char* var, py::handle default_text);

// int() of that text in base 10: surrounding whitespace, a sign and single underscores are
// accepted; anything else raises the interpreter's own invalid-literal ValueError, which
// fails the import.
py::object integer(const char* var, py::handle default_text);

// Binds the module constant `constant` to integer(var, default_text).
void read_int(const char* constant, const char* var, py::handle default_text);

}  // namespace brivel::env
