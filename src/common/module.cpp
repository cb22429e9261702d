#include "common/module.hpp"

#include "common/errors.hpp"
#include "common/ns.hpp"

namespace brivel {

int module_exec(PyObject* module, void (*body)(py::module_&)) {
    // The body runs once per process: its functions read one namespace, and a second module
    // object would silently take it over from the first.
    if (ns::loaded()) {
        PyErr_Format(PyExc_RuntimeError,
                     "%s is already loaded in this process and cannot be loaded a second time; "
                     "use the module in sys.modules",
                     ns::module_name());
        return -1;
    }
    try {
        py::detail::ensure_internals();
        auto m = py::reinterpret_borrow<py::module_>(module);
        ns::bind(m);
        body(m);
        ns::mark_loaded();
        return 0;
    } catch (...) {
        errors::set_error_from_current(PyExc_ImportError);
    }
    py::error_scope keep;  // the body's error, while its state is dropped
    ns::reset();
    return -1;
}

}  // namespace brivel
