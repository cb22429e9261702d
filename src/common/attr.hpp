// Attribute look-ups with the interpreter's hasattr meaning: only an AttributeError (or a
// subclass) counts as a missing attribute; any other error of the look-up propagates.
#pragma once

#include "common/py.hpp"

namespace brivel::attr {

// The attribute, or a null object when the look-up raised AttributeError.
py::object find(py::handle obj, const char* name);

// hasattr(obj, name).
inline bool has(py::handle obj, const char* name) { return static_cast<bool>(find(obj, name)); }

// getattr(obj, name, None) that swallows only a missing attribute.
inline py::object or_none(py::handle obj, const char* name) {
    py::object v = find(obj, name);
    return v ? v : py::none();
}

}  // namespace brivel::attr
