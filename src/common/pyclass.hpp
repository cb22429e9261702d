// Plain Python classes built from C++: `object` (or the given bases) as only base, a normal
// instance __dict__, C++ functions bound as methods. Records become real dataclasses.
#pragma once

#include "common/ns.hpp"

namespace brivel::pyclass {

// type(name, bases, {"__module__": <module>, "__qualname__": name}); bases default to (object,).
py::object new_class(const char* name, py::tuple bases = py::tuple());

// pybind11 dispatches a function named __init__ as the constructor of one of its own
// classes and looks for a C++ instance behind `self`; a plain class has none, so the
// function must be dispatched like any other method.
void plain_method(py::handle fn);

// Binds a C++ callable as an instance method (first parameter: self).
template <class F, class... Extra>
void def(py::handle cls, const char* name, F&& f, const Extra&... extra) {
    py::cpp_function fn(std::forward<F>(f), py::name(name), py::is_method(cls),
                        py::sibling(py::getattr(cls, name, py::none())), extra...);
    plain_method(fn);
    py::setattr(cls, name, fn);
}

// Field declarations of a record, applied in order before dataclasses.dataclass runs.
class Fields {
  public:
    explicit Fields(py::handle cls);
    Fields& required(const char* name, const char* annotation);
    Fields& value(const char* name, const char* annotation, py::handle default_value);
    Fields& factory(const char* name, const char* annotation, py::handle default_factory);

  private:
    py::handle cls_;
    py::dict annotations_;
    void annotate(const char* name, const char* annotation);
};

// dataclasses.dataclass(cls) with no options; returns the decorated class.
py::object dataclass(py::handle cls);

// Instances of a dataclass made without calling its generated __init__: object.__new__,
// then every field set in declaration order, which leaves the same instance __dict__ as
// the __init__ would. It applies only while the class still has the __init__ it had when
// captured and the default __new__ and __setattr__; otherwise the caller calls the class.
class DirectInit {
  public:
    DirectInit() = default;
    DirectInit(py::handle cls, py::tuple fields);
    bool applies(py::handle cls) const;
    // `values` in field order; applies(cls) must hold.
    py::object make(PyObject* const* values) const;

  private:
    py::object cls_, init_;
    py::tuple fields_;
};

}  // namespace brivel::pyclass
