// Argument, result and variable checks with the messages callers rely on.
// Every check runs before the operation has any effect.
#pragma once

#include "common/py.hpp"

namespace brivel::args {

// `value` must be exactly of `type` (a subclass is refused); None only when `optional`.
void exact(py::handle value, PyTypeObject* type, const char* name, bool optional = false);

inline void exact_str(py::handle v, const char* name, bool optional = false) {
    exact(v, &PyUnicode_Type, name, optional);
}
inline void exact_list(py::handle v, const char* name, bool optional = false) {
    exact(v, &PyList_Type, name, optional);
}
inline void exact_dict(py::handle v, const char* name, bool optional = false) {
    exact(v, &PyDict_Type, name, optional);
}
inline void exact_tuple(py::handle v, const char* name, bool optional = false) {
    exact(v, &PyTuple_Type, name, optional);
}
inline void exact_bytes(py::handle v, const char* name, bool optional = false) {
    exact(v, &PyBytes_Type, name, optional);
}

// TypeError "Argument '<name>' has incorrect type (expected <expected>, got <type>)", with
// the sentence on subclasses of built-in types when `subclass`.
[[noreturn]] void wrong_type(py::handle value, const char* expected, const char* name, bool subclass = false);

// `value` must be an instance of `cls` or of a subclass; None only when `optional`.
void instance(py::handle value, py::handle cls, const char* name, bool optional = false);

// A collection where a lone str or bytes would be taken item by item, character by
// character: TypeError "<what> must be <expected>, not a single <type>" for one.
void not_one_string(py::handle value, const char* what, const char* expected);

// A caller's record of the wrong kind: TypeError "<what> must be <expected>, not <type>".
[[noreturn]] void wrong_record(py::handle value, const char* what, const char* expected);

// Numeric parameters are converted, not checked: int() of any number (a float is cut
// toward zero, True is 1); a non-number raises TypeError. None passes through when optional.
py::object to_int(py::handle value, const char* name, bool optional = false);
py::object to_float(py::handle value, const char* name, bool optional = false);

// Result and variable check: exactly `type` or None (unless `none_ok` is false), else
// "Expected %s, got %.200s".
py::object expect(py::object value, PyTypeObject* type, bool none_ok = true);

// Python truthiness; errors of __bool__ propagate.
bool truthy(py::handle value);

// An int (or int subclass) as a C++ long long; OverflowError when it does not fit.
long long to_long_long(py::handle value);

}  // namespace brivel::args
