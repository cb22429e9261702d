// Which source files hold user code: install prefixes gathered once per monitor, and a
// memo of verdicts per file name.
#pragma once

#include "common/py.hpp"

namespace brivel::overflow {

void define_exclude_prefixes(py::module_& m);
void bind_user_code(py::handle cls);

// The verdict of self._is_user_code(filename): 1, 0, or -1 with a Python error set. While
// the method is the class's own, a memo hit costs one dict look-up and no call.
int user_code(PyObject* self, PyObject* dict, PyObject* filename);

// Whether the class's `_is_user_code` is the one defined here.
bool user_code_is_own(PyTypeObject* type);

}  // namespace brivel::overflow
