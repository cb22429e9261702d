#include "overflow/wrapping/native_function.hpp"

#include <cstddef>
#include <structmember.h>

#include "common/ns.hpp"

namespace brivel::overflow {
namespace {

PyTypeObject* g_type = nullptr;

int traverse(PyObject* self, visitproc visit, void* arg) {
    NativeFunction* f = as_native(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->dict);
    Py_VISIT(f->first);
    Py_VISIT(f->second);
    return 0;
}

int clear(PyObject* self) {
    NativeFunction* f = as_native(self);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->first);
    Py_CLEAR(f->second);
    return 0;
}

void dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (as_native(self)->weakrefs) PyObject_ClearWeakRefs(self);
    clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

// Bound like a function when stored on a class.
PyObject* descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (!obj || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject* reduce(PyObject* self, PyObject*) {
    NativeFunction* f = as_native(self);
    if (!f->pickles_as_second) {
        PyErr_Format(PyExc_TypeError, "cannot pickle '%.200s' object", Py_TYPE(self)->tp_name);
        return nullptr;
    }
    // Unpickled, a wrapper is the function it wraps: itemgetter(0)((original,)).
    try {
        py::object getter = ns::import("operator").attr("itemgetter")(0);
        py::tuple arg = py::make_tuple(py::make_tuple(py::handle(f->second)));
        return py::make_tuple(getter, arg).release().ptr();
    } catch (py::error_already_set& e) {
        e.restore();
        return nullptr;
    }
}

PyMethodDef methods[] = {{"__reduce__", reduce, METH_NOARGS, nullptr}, {nullptr, nullptr, 0, nullptr}};

PyMemberDef members[] = {
    {"__dictoffset__", T_PYSSIZET, offsetof(NativeFunction, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(NativeFunction, weakrefs), READONLY, nullptr},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(NativeFunction, vectorcall), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr}};

PyGetSetDef getset[] = {{"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
                        {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyType_Slot slots[] = {{Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
                       {Py_tp_traverse, reinterpret_cast<void*>(traverse)},
                       {Py_tp_clear, reinterpret_cast<void*>(clear)},
                       {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
                       {Py_tp_descr_get, reinterpret_cast<void*>(descr_get)},
                       {Py_tp_methods, methods},
                       {Py_tp_members, members},
                       {Py_tp_getset, getset},
                       {0, nullptr}};

PyType_Spec spec = {"brivel.overflow.native_function", sizeof(NativeFunction), 0,
                    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                        Py_TPFLAGS_DISALLOW_INSTANTIATION,
                    slots};

PyTypeObject* type() {
    if (!g_type) {
        PyObject* t = PyType_FromSpec(&spec);
        if (!t) throw py::error_already_set();
        g_type = reinterpret_cast<PyTypeObject*>(t);  // kept for the life of the process
    }
    return g_type;
}

}  // namespace

py::object make_native_function(vectorcallfunc body, py::handle first, py::handle second, const char* name,
                                const char* qualname, py::dict annotations, bool pickles_as_second) {
    PyTypeObject* t = type();
    NativeFunction* f = PyObject_GC_New(NativeFunction, t);
    if (!f) throw py::error_already_set();
    f->dict = nullptr;
    f->weakrefs = nullptr;
    f->vectorcall = body;
    f->first = Py_NewRef(first.ptr());
    f->second = Py_NewRef(second.ptr());
    f->pickles_as_second = pickles_as_second;
    py::object obj = py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(f));
    PyObject_GC_Track(obj.ptr());
    py::dict d;
    d["__name__"] = name;
    d["__qualname__"] = qualname;
    d["__module__"] = ns::module_name();
    d["__doc__"] = py::none();
    d["__annotations__"] = annotations;
    f->dict = d.release().ptr();
    return obj;
}

}  // namespace brivel::overflow
