#include "common/module.hpp"

#include "common/errors.hpp"

namespace brivel {

int module_exec(PyObject* module, void (*body)(py::module_&)) {
    try {
        py::detail::ensure_internals();
        auto m = py::reinterpret_borrow<py::module_>(module);
        body(m);
        return 0;
    } catch (...) {
        errors::set_error_from_current(PyExc_ImportError);
    }
    return -1;
}

}  // namespace brivel
