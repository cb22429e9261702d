// Running code "while an exception is being handled": an exception raised inside the scope
// gets the handled one as its __context__, as it would inside a Python `except` block.
#pragma once

#include "common/py.hpp"

namespace brivel {

class Handling {
  public:
    explicit Handling(py::handle exc) : previous_(PyErr_GetHandledException()) {
        PyErr_SetHandledException(exc.ptr());
    }
    ~Handling() {
        PyErr_SetHandledException(previous_);
        Py_XDECREF(previous_);
    }
    Handling(const Handling&) = delete;
    Handling& operator=(const Handling&) = delete;

  private:
    PyObject* previous_;
};

}  // namespace brivel
