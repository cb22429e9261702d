#include "common/native_function.hpp"

#include <cstddef>
#include <string>
#include <structmember.h>

#include "common/ns.hpp"

namespace brivel {
namespace {

// The module's function type, made on first use.
struct FunctionTypeState {
    py::object type;
};

int traverse(PyObject* self, visitproc visit, void* arg) {
    NativeFunction* f = as_native(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->first);
    Py_VISIT(f->second);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->annotations);
    Py_VISIT(f->self);
    Py_VISIT(f->dict);
    return 0;
}

// The name and qualified name stay: they are str objects, in no cycle, and repr reads them.
int clear(PyObject* self) {
    NativeFunction* f = as_native(self);
    Py_CLEAR(f->first);
    Py_CLEAR(f->second);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->self);
    Py_CLEAR(f->dict);
    return 0;
}

void dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    NativeFunction* f = as_native(self);
    PyObject_GC_UnTrack(self);
    if (f->weakrefs) PyObject_ClearWeakRefs(self);
    clear(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    delete f->body;
    f->body = nullptr;
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* call_body(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    if (Py_EnterRecursiveCall(" while calling a Python object")) return nullptr;
    PyObject* result = as_native(callable)->body->call(args, nargsf, kwnames);
    Py_LeaveRecursiveCall();
    return result;
}

// Bound like a function when stored on a class.
PyObject* descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (!obj || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject* repr(PyObject* self) {
    NativeFunction* f = as_native(self);
    if (f->self && PyModule_Check(f->self)) return PyUnicode_FromFormat("<built-in function %U>", f->name);
    return PyUnicode_FromFormat("<function %U at %p>", f->qualname, self);
}

PyObject* reduce(PyObject* self, PyObject*) {
    NativeFunction* f = as_native(self);
    switch (f->pickling) {
        case Pickling::by_name:
            // As for a built-in function: pickle stores a reference to the module attribute
            // (or the class attribute) under this name and checks that it is this object.
            return Py_NewRef(f->qualname);
        case Pickling::as_second:
            // Unpickled, a wrapper is the function it wraps: itemgetter(0)((original,)).
            try {
                py::object getter = ns::import("operator").attr("itemgetter")(0);
                py::tuple arg = py::make_tuple(py::make_tuple(py::handle(f->second)));
                return py::make_tuple(getter, arg).release().ptr();
            } catch (py::error_already_set& e) {
                e.restore();
                return nullptr;
            }
        case Pickling::refused:
            break;
    }
    PyErr_Format(PyExc_TypeError, "cannot pickle '%.200s' object", Py_TYPE(self)->tp_name);
    return nullptr;
}

PyObject* get_str(PyObject* value) { return Py_NewRef(value); }

int set_str(PyObject** slot, PyObject* value, const char* what) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    Py_SETREF(*slot, Py_NewRef(value));
    return 0;
}

PyObject* get_name(PyObject* self, void*) { return get_str(as_native(self)->name); }
int set_name(PyObject* self, PyObject* value, void*) { return set_str(&as_native(self)->name, value, "__name__"); }
PyObject* get_qualname(PyObject* self, void*) { return get_str(as_native(self)->qualname); }
int set_qualname(PyObject* self, PyObject* value, void*) {
    return set_str(&as_native(self)->qualname, value, "__qualname__");
}

PyObject* get_annotations(PyObject* self, void*) {
    NativeFunction* f = as_native(self);
    if (!f->annotations && !(f->annotations = PyDict_New())) return nullptr;
    return Py_NewRef(f->annotations);
}

int set_annotations(PyObject* self, PyObject* value, void*) {
    if (value == Py_None) value = nullptr;
    if (value && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(as_native(self)->annotations, Py_XNewRef(value));
    return 0;
}

PyObject* get_signature(PyObject* self, void*) {
    NativeFunction* f = as_native(self);
    if (f->body) {
        try {
            py::object s = f->body->signature();
            if (s) return s.release().ptr();
        } catch (py::error_already_set& e) {
            e.restore();
            return nullptr;
        }
    }
    PyErr_SetString(PyExc_AttributeError, "__signature__");
    return nullptr;
}

PyMethodDef methods[] = {{"__reduce__", reduce, METH_NOARGS, nullptr}, {nullptr, nullptr, 0, nullptr}};

PyMemberDef members[] = {
    {"__module__", T_OBJECT, offsetof(NativeFunction, module), 0, nullptr},
    {"__doc__", T_OBJECT, offsetof(NativeFunction, doc), 0, nullptr},
    {"__self__", T_OBJECT_EX, offsetof(NativeFunction, self), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(NativeFunction, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(NativeFunction, weakrefs), READONLY, nullptr},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(NativeFunction, vectorcall), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr}};

PyGetSetDef getset[] = {{"__name__", get_name, set_name, nullptr, nullptr},
                        {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
                        {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
                        {"__signature__", get_signature, nullptr, nullptr, nullptr},
                        {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
                        {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyType_Slot slots[] = {{Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
                       {Py_tp_traverse, reinterpret_cast<void*>(traverse)},
                       {Py_tp_clear, reinterpret_cast<void*>(clear)},
                       {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
                       {Py_tp_descr_get, reinterpret_cast<void*>(descr_get)},
                       {Py_tp_repr, reinterpret_cast<void*>(repr)},
                       {Py_tp_methods, methods},
                       {Py_tp_members, members},
                       {Py_tp_getset, getset},
                       {0, nullptr}};

PyTypeObject* function_type() {
    FunctionTypeState& st = ns::state<FunctionTypeState>();
    if (!st.type) {
        // Named after the module that makes it (the interpreter copies the name).
        std::string name = std::string(ns::module_name()) + ".builtin_function";
        PyType_Spec spec = {name.c_str(), sizeof(NativeFunction), 0,
                            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                                Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                            slots};
        st.type = steal_or_throw(PyType_FromSpec(&spec));
    }
    return reinterpret_cast<PyTypeObject*>(st.type.ptr());
}

py::object new_function(vectorcallfunc call, NativeBody* body, py::handle first, py::handle second,
                        const FunctionNames& names, Pickling pickling) {
    std::unique_ptr<NativeBody> owned(body);
    py::str name(names.name), qualname(names.qualname);
    py::object doc = names.doc ? py::object(py::str(names.doc)) : py::object(py::none());
    py::str module(ns::module_name());
    NativeFunction* f = PyObject_GC_New(NativeFunction, function_type());
    if (!f) throw py::error_already_set();
    f->vectorcall = call;
    f->first = first ? Py_NewRef(first.ptr()) : nullptr;
    f->second = second ? Py_NewRef(second.ptr()) : nullptr;
    f->body = owned.release();
    f->name = name.release().ptr();
    f->qualname = qualname.release().ptr();
    f->module = module.release().ptr();
    f->doc = doc.release().ptr();
    f->annotations = Py_NewRef(names.annotations.ptr());
    f->self = names.self ? Py_NewRef(names.self.ptr()) : nullptr;
    f->dict = nullptr;
    f->weakrefs = nullptr;
    f->pickling = pickling;
    PyObject_GC_Track(f);
    return py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(f));
}

}  // namespace

py::object make_native_function(std::unique_ptr<NativeBody> body, const FunctionNames& names, Pickling pickling) {
    return new_function(&call_body, body.release(), py::handle(), py::handle(), names, pickling);
}

py::object make_native_function(vectorcallfunc body, py::handle first, py::handle second, const char* name,
                                const char* qualname, py::dict annotations, bool pickles_as_second) {
    return new_function(body, nullptr, first, second, FunctionNames{name, qualname, nullptr, std::move(annotations)},
                        pickles_as_second ? Pickling::as_second : Pickling::refused);
}

}  // namespace brivel
