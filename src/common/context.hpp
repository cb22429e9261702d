// `with cm as value: body(value)` from C++: __exit__ runs however the body leaves, and is
// given the Python exception that is leaving (never used to swallow it).
#pragma once

#include "common/py.hpp"

namespace brivel::ctx {

template <class Body>
void with(py::handle cm, Body&& body) {
    py::object mgr = py::reinterpret_borrow<py::object>(cm);
    py::object exit = mgr.attr("__exit__");
    py::object value = mgr.attr("__enter__")();
    try {
        body(value);
    } catch (py::error_already_set& e) {
        // An error raised from C++ has no traceback yet.
        py::object tb = e.trace() ? py::reinterpret_borrow<py::object>(e.trace()) : py::none();
        exit(e.type(), e.value(), tb);
        throw;
    } catch (...) {
        exit(py::none(), py::none(), py::none());
        throw;
    }
    exit(py::none(), py::none(), py::none());
}

}  // namespace brivel::ctx
