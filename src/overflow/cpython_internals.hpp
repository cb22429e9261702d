// The interpreter internals the overflow hot paths rely on. The profile hook
// runs on every call and return of the watched thread, and most events concern no user code;
// these let it answer them with pointer comparisons, and record a call without a method call
// or a growing dict; a wrapped call reads the monitor's flags from its instance dict:
//  - a dict's version tag (ma_version_tag), which changes with every change of the dict and
//    is never reused in the process, and a type's (tp_version_tag while it is valid): a memo
//    keyed on them cannot go stale;
//  - a code object's fields, read from its struct;
//  - _PyDict_NewPresized, a call record's dict made at its final size;
//  - Py_SET_SIZE on a list, list.pop() of the call stack's last record without its call;
//  - _PyObject_GetDictPtr, an instance's dict slot without an attribute look-up.
// They are CPython 3.11's: 3.12 deprecates the dict version tag and later versions change or
// hide the others, so another version must port them here rather than compile against them.
#pragma once

#include <cstdint>

#include "common/py.hpp"

#if PY_VERSION_HEX < 0x030B0000 || PY_VERSION_HEX >= 0x030C0000
#error "brivel.overflow uses CPython 3.11 internals (overflow/cpython_internals.hpp)"
#endif

namespace brivel::overflow::internals {

inline std::uint64_t dict_version(PyObject* dict) { return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag; }

// The type's version tag, when it has a valid one (false: the type caches nothing).
inline bool type_version(PyTypeObject* type, unsigned int* tag) {
    if (!(type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG)) return false;
    *tag = type->tp_version_tag;
    return true;
}

// A real code object's file name and function name (borrowed) and first line.
inline PyObject* code_filename(PyObject* code) { return reinterpret_cast<PyCodeObject*>(code)->co_filename; }
inline PyObject* code_name(PyObject* code) { return reinterpret_cast<PyCodeObject*>(code)->co_name; }
inline int code_firstlineno(PyObject* code) { return reinterpret_cast<PyCodeObject*>(code)->co_firstlineno; }

// A new empty dict with room for `size` items.
inline PyObject* new_dict(Py_ssize_t size) { return _PyDict_NewPresized(size); }

// list.pop() of an exact, non-empty list: the last slot's reference moves to the caller.
inline PyObject* list_pop(PyObject* list) {
    Py_ssize_t n = PyList_GET_SIZE(list);
    PyObject* last = PyList_GET_ITEM(list, n - 1);
    Py_SET_SIZE(list, n - 1);
    return last;
}

// The slot of `obj`'s instance dict (the dict may not exist yet), or null when it has none.
inline PyObject** instance_dict_slot(PyObject* obj) { return _PyObject_GetDictPtr(obj); }

}  // namespace brivel::overflow::internals
