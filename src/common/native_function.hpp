// The function type of the three modules: a callable implemented in C++ that presents
// itself as Python code expects of a function. __name__, __qualname__, __module__, __doc__
// and __annotations__ can be read and set (so functools.wraps applies to and from it), an
// instance dict takes attribute marks, inspect.signature() and help() find its signature,
// it binds as a method when stored on a class, it pickles as a reference to the name it is
// defined under, and it runs without a Python frame of its own. A module function also has
// __self__, its module, as a C extension's built-in functions do.
//
// Each module creates the type once, in its state; a module body that fails drops it.
#pragma once

#include <cxxabi.h>

#include <memory>
#include <string>
#include <type_traits>

#include "common/py.hpp"

namespace brivel {

// What a function runs when it owns a C++ object rather than keeping two Python objects.
class NativeBody {
  public:
    virtual ~NativeBody() = default;
    // The call, with the interpreter's vectorcall arguments: a new reference, or null
    // with the Python error set.
    virtual PyObject* call(PyObject* const* args, size_t nargsf, PyObject* kwnames) = 0;
    // The inspect.Signature to show, or a null object for none.
    virtual py::object signature() const { return {}; }
};

enum class Pickling {
    by_name,    // a reference to its module attribute (or Class.method) under __qualname__
    as_second,  // unpickled, it is the object kept as `second` (a wrapper: the function it wraps)
    refused,
};

struct NativeFunction {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject* first;  // two objects a plain call body works on, e.g. the monitor
    PyObject* second; // and the wrapped function
    NativeBody* body; // owned; null for a plain call body
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* annotations;
    PyObject* self;  // the module of a module function, else null
    PyObject* dict;
    PyObject* weakrefs;
    Pickling pickling;
};

inline NativeFunction* as_native(PyObject* callable) { return reinterpret_cast<NativeFunction*>(callable); }

// How a new function presents itself. Its __module__ is the module being defined.
struct FunctionNames {
    const char* name;
    std::string qualname;
    const char* doc = nullptr;          // None when null
    py::dict annotations = py::dict();  // texts, as `from __future__ import annotations` keeps them
    py::handle self = py::handle();     // the module, for a module function
};

// A function running `body`.
py::object make_native_function(std::unique_ptr<NativeBody> body, const FunctionNames& names,
                                Pickling pickling = Pickling::by_name);

// A function whose body works on two objects it keeps (`first`, `second`); no docstring.
py::object make_native_function(vectorcallfunc body, py::handle first, py::handle second, const char* name,
                                const char* qualname, py::dict annotations, bool pickles_as_second);

// Runs `f` for a function body the way the binding layer runs a bound C++ function: its
// result (None for void) as a new reference, or null with the Python error set for a C++
// exception.
template <class F>
PyObject* native_call(F&& f) {
    try {
        using R = decltype(f());
        if constexpr (std::is_void_v<R>) {
            f();
            Py_RETURN_NONE;
        } else if constexpr (std::is_base_of_v<py::handle, std::decay_t<R>>) {
            R r = f();
            return py::handle(r).inc_ref().ptr();
        } else {
            return py::cast(f()).release().ptr();
        }
    } catch (py::error_already_set& e) {
        e.restore();
        return nullptr;
    } catch (abi::__forced_unwind&) {
        throw;  // a daemon thread ended by interpreter shutdown unwinds through here
    } catch (...) {
        py::detail::try_translate_exceptions();
        return nullptr;
    }
}

}  // namespace brivel
