// Late binding: module constants and functions are looked up in the module namespace at
// each use, so that rebinding a module attribute after import changes later calls.
#pragma once

#include "common/py.hpp"

namespace brivel::ns {

// Remembers the namespace of the module being initialised (one per extension module).
void bind(py::module_ m);

// The module's dict and name.
py::dict dict();
const char* module_name();

// The current value of a module attribute; NameError when it has been deleted.
py::object get(const char* name);

// Module attribute converted to a C++ integer / bool at the moment of use.
long long get_int(const char* name);
bool get_bool(const char* name);

// Stores a module attribute (used only while the module body runs).
void set(const char* name, py::handle value);

// Calls the module function currently bound under `name`.
template <class... Args>
py::object call(const char* name, Args&&... args) {
    return get(name)(std::forward<Args>(args)...);
}

// Imports a module by name (the interpreter's import, so sys.modules is honoured).
py::object import(const char* name);

}  // namespace brivel::ns
