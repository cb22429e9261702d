// Late binding: module constants and functions are looked up in the module namespace at
// each use, so that rebinding a module attribute after import changes later calls. Each
// extension module links its own copy of this state: its namespace, and one struct of its
// own (`state<S>()`) for what it keeps between calls.
#pragma once

#include "common/py.hpp"

namespace brivel::ns {

// Remembers the namespace of the module being initialised (the module entry does this
// before the body runs; calling it again for the same module changes nothing).
void bind(py::module_ m);

// True once a module body has completed in this process.
bool loaded();
void mark_loaded();

// Forgets the namespace and empties every state struct: a failed module body leaves
// nothing behind, so a later import runs it again.
void reset();

// Registers a function that `reset()` calls.
void on_reset(void (*fn)());

namespace detail {

template <class S>
inline S* state_struct = nullptr;

// Out of line, so that state() inlines into hot paths as a load and a test.
template <class S>
[[gnu::noinline]] void create_state() {
    state_struct<S> = new S();
    on_reset([] { *state_struct<S> = S(); });
}

}  // namespace detail

// The module's own state struct, created on first use and kept for the life of the
// process (worker threads may still read it at interpreter shutdown). GIL held.
template <class S>
S& state() {
    if (!detail::state_struct<S>) [[unlikely]]
        detail::create_state<S>();
    return *detail::state_struct<S>;
}

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
