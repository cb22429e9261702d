#include "workspace/manifest/paths.hpp"

#include <structmember.h>

#include "common/ns.hpp"
#include "workspace/state.hpp"

namespace brivel::workspace {
namespace {

// The attribute `name` as the type's method resolution finds it, unbound (borrowed).
PyObject* type_lookup(py::handle type, const char* name) {
    return brivel::type_lookup(reinterpret_cast<PyTypeObject*>(type.ptr()), intern(name).ptr());
}

py::object slot_get(py::handle descr, py::handle obj) {
    return steal_or_throw(Py_TYPE(descr.ptr())->tp_descr_get(descr.ptr(), obj.ptr(), nullptr));
}

void slot_set(py::handle descr, py::handle obj, py::handle value) {
    if (Py_TYPE(descr.ptr())->tp_descr_set(descr.ptr(), obj.ptr(), value.ptr()) < 0) throw py::error_already_set();
}

}  // namespace

void capture_pathlib() {
    ModuleState& mod = state();
    py::object pathlib = ns::import("pathlib");
    mod.path_cls = pathlib.attr("Path");
    mod.posix_path = pathlib.attr("PosixPath");
    mod.path_stat = pathlib.attr("Path").attr("stat");
    mod.make_child_relpath = py::reinterpret_borrow<py::object>(type_lookup(mod.posix_path, "_make_child_relpath"));
    mod.from_parsed_parts = py::reinterpret_borrow<py::object>(type_lookup(mod.posix_path, "_from_parsed_parts"));
    const char* slots[] = {"_drv", "_root", "_parts"};
    for (int i = 0; i < 3; ++i) {
        PyObject* d = type_lookup(mod.posix_path, slots[i]);
        // Only the slot layout this code knows is filled directly.
        mod.path_slots[i] = d && Py_IS_TYPE(d, &PyMemberDescr_Type) ? py::reinterpret_borrow<py::object>(d) : py::object();
    }
}

ChildPaths::ChildPaths() {
    const ModuleState& mod = state();
    native_ = mod.make_child_relpath && mod.from_parsed_parts && mod.path_slots[0] && mod.path_slots[1] &&
              mod.path_slots[2] && type_lookup(mod.posix_path, "_make_child_relpath") == mod.make_child_relpath.ptr() &&
              type_lookup(mod.posix_path, "_from_parsed_parts") == mod.from_parsed_parts.ptr() &&
              reinterpret_cast<PyTypeObject*>(mod.posix_path.ptr())->tp_new == PyBaseObject_Type.tp_new;
}

py::object ChildPaths::child(const py::object& parent, py::handle name) const {
    const ModuleState& mod = state();
    if (native_ && Py_IS_TYPE(parent.ptr(), reinterpret_cast<PyTypeObject*>(mod.posix_path.ptr()))) {
        // object.__new__(cls); _drv, _root as the parent's; _parts the parent's plus the name.
        py::object parts = slot_get(mod.path_slots[2], parent);
        if (PyList_CheckExact(parts.ptr())) {
            const Py_ssize_t n = PyList_GET_SIZE(parts.ptr());
            py::list joined(n + 1);
            for (Py_ssize_t i = 0; i < n; ++i)
                PyList_SET_ITEM(joined.ptr(), i, py::handle(PyList_GET_ITEM(parts.ptr(), i)).inc_ref().ptr());
            PyList_SET_ITEM(joined.ptr(), n, py::handle(name).inc_ref().ptr());
            auto* type = reinterpret_cast<PyTypeObject*>(mod.posix_path.ptr());
            py::object self = steal_or_throw(PyBaseObject_Type.tp_new(type, py::tuple().ptr(), nullptr));
            slot_set(mod.path_slots[0], self, slot_get(mod.path_slots[0], parent));
            slot_set(mod.path_slots[1], self, slot_get(mod.path_slots[1], parent));
            slot_set(mod.path_slots[2], self, joined);
            return self;
        }
    }
    py::object make = py::getattr(parent, "_make_child_relpath", py::none());
    if (!make.is_none()) return make(name);
    return divide(parent, name);
}

}  // namespace brivel::workspace
