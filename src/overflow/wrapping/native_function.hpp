// A callable implemented in C++ that behaves like a plain Python function where it counts:
// an instance dict (so functools.wraps and attribute marks apply), method binding, and no
// Python frame of its own. It holds two objects for its body.
#pragma once

#include "common/py.hpp"

namespace brivel::overflow {

struct NativeFunction {
    PyObject_HEAD
    PyObject* dict;
    PyObject* weakrefs;
    vectorcallfunc vectorcall;
    PyObject* first;   // e.g. the monitor
    PyObject* second;  // e.g. the wrapped function
    bool pickles_as_second;
};

// A new callable running `body`; its __name__, __qualname__, __module__, __doc__ and
// __annotations__ start as given. With `pickles_as_second` it pickles as `second` itself.
py::object make_native_function(vectorcallfunc body, py::handle first, py::handle second, const char* name,
                                const char* qualname, py::dict annotations, bool pickles_as_second);

inline NativeFunction* as_native(PyObject* callable) { return reinterpret_cast<NativeFunction*>(callable); }

}  // namespace brivel::overflow
