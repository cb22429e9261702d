// Plain Python classes built from C++: `object` (or the given bases) as only base, a normal
// instance __dict__ (methods come from sig::method). Records become real dataclasses.
#pragma once

#include "common/ns.hpp"

namespace brivel::pyclass {

// type(name, bases, {"__module__": <module>, "__qualname__": name}); bases default to (object,).
py::object new_class(const char* name, py::tuple bases = py::tuple());

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
