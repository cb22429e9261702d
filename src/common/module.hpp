// Module entry for the three extension modules. Unlike the stock entry macro, an error of
// the module body fails the import with that very exception (a malformed PORTVEL_ variable
// gives the interpreter's ValueError, not a wrapping ImportError), and nothing is registered,
// so a later import runs the body again. The body runs once per process: a second module
// object made from the same extension (importlib.util.module_from_spec + exec_module) fails
// with RuntimeError instead of taking the first one's namespace.
#pragma once

#include "common/py.hpp"

namespace brivel {
int module_exec(PyObject* module, void (*body)(py::module_&));
}

#define BRIVEL_MODULE(name, variable)                                              \
    static void PYBIND11_CONCAT(brivel_body_, name)(::pybind11::module_&);         \
    PYBIND11_MODULE_PYINIT(name)                                                   \
    static int PYBIND11_CONCAT(pybind11_exec_, name)(PyObject * pm) {              \
        return ::brivel::module_exec(pm, &PYBIND11_CONCAT(brivel_body_, name));    \
    }                                                                              \
    static void PYBIND11_CONCAT(brivel_body_, name)(::pybind11::module_ & variable)
