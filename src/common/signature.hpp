// Argument binding for module functions that mix positional-or-keyword and keyword-only
// parameters, failing with the interpreter's own messages (missing, unexpected, repeated
// or surplus arguments), and sequence unpacking with the interpreter's messages.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <vector>

#include "common/py.hpp"

namespace brivel::sig {

struct Param {
    const char* name;
    bool keyword_only = false;
    bool required = true;  // an optional parameter left out binds to a null handle
};

// Binds `args`/`kwargs` to `params` in declaration order.
std::vector<py::object> bind(const char* function, std::initializer_list<Param> params,
                             const py::args& args, const py::kwargs& kwargs);

// `a, b, ... = value` for exactly `n` targets.
std::vector<py::object> unpack(py::handle value, std::size_t n);

}  // namespace brivel::sig
