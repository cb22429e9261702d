// Module functions and methods defined from one parameter list: argument binding that fails
// with the interpreter's own messages (missing, unexpected, repeated or surplus arguments),
// the signature and annotations that inspect.signature() and help() show, and the
// docstring. They are functions of the modules' own type (native_function.hpp). Also
// sequence unpacking with the interpreter's messages.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/native_function.hpp"
#include "common/pyclass.hpp"

namespace brivel::sig {

struct Param {
    const char* name;
    bool keyword_only = false;
    bool required = true;  // an optional parameter left out binds to its default
    // The default as the signature shows it: None, True, False, a number, a quoted string
    // or (). An optional parameter without one binds to a null handle when left out.
    const char* default_text = nullptr;
    // The annotation's text, kept as text in __annotations__ and shown by the signature.
    const char* annotation = nullptr;
    bool result = false;  // not a parameter: the annotation of the return value
    // *name (a tuple of the surplus positional arguments) or **name (a dict of the
    // keywords that name no parameter).
    enum class Star { none, args, kwargs } star = Star::none;

    Param annotated(const char* text) const {
        Param p = *this;
        p.annotation = text;
        return p;
    }
};

// Shorthands: a positional-or-keyword parameter, with or without a default; a keyword-only
// parameter, with or without a default; the annotation of the result (last in the list).
inline Param arg(const char* name) { return {name}; }
inline Param arg(const char* name, const char* default_text) { return {name, false, false, default_text}; }
inline Param kw(const char* name) { return {name, true}; }
inline Param kw(const char* name, const char* default_text) { return {name, true, false, default_text}; }
inline Param returns(const char* annotation) { return {"return", false, false, nullptr, annotation, true}; }
inline Param star_args(const char* name) { return {name, false, false, nullptr, nullptr, false, Param::Star::args}; }
inline Param star_kwargs(const char* name) { return {name, false, false, nullptr, nullptr, false, Param::Star::kwargs}; }

// Binds `args`/`kwargs` to `params` in declaration order.
std::vector<py::object> bind(const char* function, std::initializer_list<Param> params,
                             const py::args& args, const py::kwargs& kwargs);

// The arguments of one call, in parameter order, a left-out parameter's default included
// (a method's without self). They can be read by position or by the parameter's name.
class Bound : public std::vector<py::object> {
  public:
    Bound(std::vector<py::object> values, const std::vector<std::string>& names)
        : std::vector<py::object>(std::move(values)), names_(&names) {}
    using std::vector<py::object>::operator[];
    // The argument of the parameter `name`, which the signature must have.
    const py::object& operator[](std::string_view name) const;
    // Takes a method's self, the first argument, off the front.
    py::object take_self() {
        py::object self = std::move(front());
        erase(begin());
        ++skipped_;
        return self;
    }

  private:
    const std::vector<std::string>* names_;  // the signature's, which outlives its calls
    std::size_t skipped_ = 0;                // names before the first argument
};

// A parameter list kept with its function: the binding (left-out parameters get their
// default objects), the annotations and the signature that inspect shows.
class Signature {
  public:
    // `owner`: the class's qualified name, for a method. A method binds `self` first (by
    // position only when it takes **keywords, so that any keyword reaches them) and its
    // messages name Class.method.
    Signature(const char* function, std::initializer_list<Param> params, const char* owner = nullptr);
    // Moved, never copied: the parameters point into the names kept here.
    Signature(Signature&&) = default;
    Signature(const Signature&) = delete;
    Signature& operator=(const Signature&) = delete;
    // The interpreter's vectorcall arguments; a method's self is the first of the result.
    Bound bind(PyObject* const* args, size_t nargsf, PyObject* kwnames) const;
    const std::string& name() const { return function_; }
    const std::string& qualname() const { return qualname_; }
    // A new dict of the annotation texts: parameters in order, then "return".
    py::dict annotations() const;
    // inspect.Signature with the parameters, defaults and annotations.
    py::object inspect_signature() const;

  private:
    std::string function_, qualname_;
    std::vector<std::string> names_, annotations_;  // annotations_: "" for none
    std::vector<Param> params_;
    bool self_by_position_;
    std::vector<py::object> defaults_;
    std::string result_;
    bool method_;
};

namespace detail {

// The body of a function defined with def() or method(): binds the call to the signature
// and hands the bound arguments to `impl` (a method's: self, then the rest).
template <class F, bool Method>
class Defined final : public NativeBody {
  public:
    Defined(Signature s, F impl) : sig_(std::move(s)), impl_(std::move(impl)) {}

    PyObject* call(PyObject* const* args, size_t nargsf, PyObject* kwnames) override {
        return native_call([&] {
            Bound a = sig_.bind(args, nargsf, kwnames);
            if constexpr (Method) {
                py::object self = a.take_self();
                return impl_(self, a);
            } else {
                return impl_(a);
            }
        });
    }

    py::object signature() const override { return sig_.inspect_signature(); }

  private:
    Signature sig_;
    F impl_;
};

template <bool Method, class F>
py::object make(Signature s, const char* doc, F impl, py::handle self) {
    std::string name = s.name();
    FunctionNames names{name.c_str(), s.qualname(), doc, s.annotations(), self};
    return make_native_function(std::make_unique<Defined<F, Method>>(std::move(s), std::move(impl)), names);
}

}  // namespace detail

// Defines the module function `name`: `impl(const Bound&)` receives the bound arguments.
template <class F>
void def(py::module_& m, const char* name, std::initializer_list<Param> params, const char* doc, F impl) {
    py::setattr(m, name, detail::make<false>(Signature(name, params), doc, std::move(impl), m));
}

// Defines the method `name` of a plain class: `impl(self, const Bound&)`.
template <class F>
void method(py::handle cls, const char* name, std::initializer_list<Param> params, const char* doc, F impl) {
    std::string owner = py::str(cls.attr("__qualname__"));
    py::setattr(cls, name, detail::make<true>(Signature(name, params, owner.c_str()), doc, std::move(impl), {}));
}

// `a, b, ... = value` for exactly `n` targets.
std::vector<py::object> unpack(py::handle value, std::size_t n);

}  // namespace brivel::sig
