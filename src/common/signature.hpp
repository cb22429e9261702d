// Argument binding for module functions and methods, failing with the interpreter's own
// messages (missing, unexpected, repeated or surplus arguments), and sequence unpacking
// with the interpreter's messages. One parameter list gives both the binding and the
// signature that inspect.signature() and help() show.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "common/pyclass.hpp"

namespace brivel::sig {

struct Param {
    const char* name;
    bool keyword_only = false;
    bool required = true;  // an optional parameter left out binds to its default
    // The default as the signature shows it: None, True, False, a number, a quoted string
    // or (). An optional parameter without one binds to a null handle when left out.
    const char* default_text = nullptr;
};

// Shorthands: a positional-or-keyword parameter, with or without a default; a keyword-only
// parameter, with or without a default.
inline Param arg(const char* name) { return {name}; }
inline Param arg(const char* name, const char* default_text) { return {name, false, false, default_text}; }
inline Param kw(const char* name) { return {name, true}; }
inline Param kw(const char* name, const char* default_text) { return {name, true, false, default_text}; }

// Binds `args`/`kwargs` to `params` in declaration order.
std::vector<py::object> bind(const char* function, std::initializer_list<Param> params,
                             const py::args& args, const py::kwargs& kwargs);

using Bound = std::vector<py::object>;

// A parameter list kept with its function: the binding (left-out parameters get their
// default objects) and the text of the signature.
class Signature {
  public:
    // `owner`: the class's qualified name, for a method (its messages name Class.method).
    Signature(const char* function, std::initializer_list<Param> params, const char* owner = nullptr);
    Bound bind(const py::args& args, const py::kwargs& kwargs) const;
    // "name(a, b=None, *, c=8)\n--\n\n" + doc: the docstring form from which the
    // interpreter derives __text_signature__ and __doc__.
    std::string docstring(const char* doc) const;

  private:
    std::string function_, qualname_;
    std::vector<std::string> names_;
    std::vector<Param> params_;
    std::vector<py::object> defaults_;
    std::vector<std::string> texts_;
    bool method_;
};

namespace detail {
// Builds the function without pybind11's generated signature lines: the docstring given
// carries the signature.
template <class Make>
void without_generated_signature(Make&& make) {
    py::options options;
    options.disable_function_signatures();
    make();
}
}  // namespace detail

// Defines the module function `name`: `impl(const Bound&)` receives the bound arguments.
template <class F>
void def(py::module_& m, const char* name, std::initializer_list<Param> params, const char* doc, F impl) {
    auto s = std::make_shared<const Signature>(name, params);
    std::string text = s->docstring(doc);
    detail::without_generated_signature([&] {
        m.def(name, [s, impl](py::args a, py::kwargs k) { return impl(s->bind(a, k)); }, text.c_str());
    });
}

// Defines the method `name` of a plain class: `impl(self, const Bound&)`.
template <class F>
void method(py::handle cls, const char* name, std::initializer_list<Param> params, const char* doc, F impl) {
    std::string owner = py::str(cls.attr("__qualname__"));
    auto s = std::make_shared<const Signature>(name, params, owner.c_str());
    std::string text = s->docstring(doc);
    detail::without_generated_signature([&] {
        pyclass::def(cls, name, [s, impl](py::object self, py::args a, py::kwargs k) { return impl(self, s->bind(a, k)); },
                     text.c_str());
    });
}

// `a, b, ... = value` for exactly `n` targets.
std::vector<py::object> unpack(py::handle value, std::size_t n);

}  // namespace brivel::sig
