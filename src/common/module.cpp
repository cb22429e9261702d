#include "common/module.hpp"

namespace brivel {

int module_exec(PyObject* module, void (*body)(py::module_&)) {
    try {
        py::detail::ensure_internals();
        auto m = py::reinterpret_borrow<py::module_>(module);
        body(m);
        return 0;
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (py::builtin_exception& e) {
        e.set_error();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_ImportError, e.what());
    }
    return -1;
}

}  // namespace brivel
