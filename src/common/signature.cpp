#include "common/signature.hpp"

#include <string>

namespace brivel::sig {
namespace {

[[noreturn]] void type_error(const std::string& text) {
    PyErr_SetString(PyExc_TypeError, text.c_str());
    throw py::error_already_set();
}

std::string quoted_list(const std::vector<const char*>& names) {
    auto q = [](const char* n) {
        std::string s(1, '\'');
        s += n;
        s += '\'';
        return s;
    };
    if (names.size() == 1) return q(names[0]);
    if (names.size() == 2) return q(names[0]) + " and " + q(names[1]);
    std::string s;
    for (std::size_t i = 0; i + 1 < names.size(); ++i) s += q(names[i]) + ", ";
    return s + "and " + q(names.back());
}

void report_missing(const char* function, const std::vector<const char*>& names, const char* kind) {
    if (names.empty()) return;
    type_error(std::string(function) + "() missing " + std::to_string(names.size()) + " required " + kind +
               " argument" + (names.size() == 1 ? "" : "s") + ": " + quoted_list(names));
}

// `bound` counts the arguments bound before these (a method's self): the interpreter's
// counts include them.
std::vector<py::object> bind_list(const char* function, const std::vector<const Param*>& list,
                                  const py::args& args, const py::kwargs& kwargs, std::size_t bound = 0) {
    std::size_t positional = bound, required_positional = bound;
    for (const Param* pp : list) {
        const Param& p = *pp;
        if (!p.keyword_only) {
            ++positional;
            if (p.required) ++required_positional;
        }
    }
    std::vector<py::object> out(list.size());
    const std::size_t passed = py::len(args), given = passed + bound;
    if (given > positional) {
        std::string takes = required_positional == positional
                                ? std::to_string(positional)
                                : "from " + std::to_string(required_positional) + " to " + std::to_string(positional);
        type_error(std::string(function) + "() takes " + takes + " positional argument" +
                   (positional == 1 && required_positional == positional ? "" : "s") + " but " +
                   std::to_string(given) + (given == 1 ? " was" : " were") + " given");
    }
    for (std::size_t i = 0; i < passed; ++i) out[i] = args[i];
    for (auto item : kwargs) {
        std::string key = py::cast<std::string>(py::str(item.first));
        std::size_t idx = list.size();
        for (std::size_t i = 0; i < list.size(); ++i)
            if (key == list[i]->name) idx = i;
        if (idx == list.size())
            type_error(std::string(function) + "() got an unexpected keyword argument '" + key + "'");
        if (out[idx]) type_error(std::string(function) + "() got multiple values for argument '" + key + "'");
        out[idx] = py::reinterpret_borrow<py::object>(item.second);
    }
    std::vector<const char*> missing_pos, missing_kw;
    for (std::size_t i = 0; i < list.size(); ++i)
        if (!out[i] && list[i]->required) (list[i]->keyword_only ? missing_kw : missing_pos).push_back(list[i]->name);
    report_missing(function, missing_pos, "positional");
    report_missing(function, missing_kw, "keyword-only");
    return out;
}

// A default as the signature shows it, as an object: None, True, False, (), a quoted
// string, or a number.
py::object literal(const char* text) {
    std::string t(text);
    if (t == "None") return py::none();
    if (t == "True") return py::bool_(true);
    if (t == "False") return py::bool_(false);
    if (t == "()") return py::tuple();
    if (t.size() >= 2 && (t[0] == '\'' || t[0] == '"') && t.back() == t[0]) return py::str(t.substr(1, t.size() - 2));
    if (t.find_first_of(".eE") != std::string::npos) return steal_or_throw(PyFloat_FromString(py::str(t).ptr()));
    return steal_or_throw(PyLong_FromString(t.c_str(), nullptr, 10));
}

}  // namespace

std::vector<py::object> bind(const char* function, std::initializer_list<Param> params,
                             const py::args& args, const py::kwargs& kwargs) {
    std::vector<const Param*> list;
    for (const Param& p : params) list.push_back(&p);
    return bind_list(function, list, args, kwargs);
}

Signature::Signature(const char* function, std::initializer_list<Param> params, const char* owner)
    : function_(function), qualname_(owner ? std::string(owner) + "." + function : function), method_(owner != nullptr) {
    // The names are copied: the parameter list may be a temporary.
    names_.reserve(params.size());
    for (const Param& p : params) names_.emplace_back(p.name);
    std::size_t i = 0;
    for (const Param& p : params) {
        Param copy = p;
        copy.name = names_[i++].c_str();
        copy.default_text = nullptr;
        params_.push_back(copy);
        defaults_.push_back(p.default_text ? literal(p.default_text) : py::object());
        texts_.emplace_back(p.default_text ? p.default_text : "");
    }
}

Bound Signature::bind(const py::args& args, const py::kwargs& kwargs) const {
    std::vector<const Param*> list;
    for (const Param& p : params_) list.push_back(&p);
    Bound out = bind_list(qualname_.c_str(), list, args, kwargs, method_ ? 1 : 0);
    for (std::size_t i = 0; i < out.size(); ++i)
        if (!out[i]) out[i] = defaults_[i];
    return out;
}

std::string Signature::docstring(const char* doc) const {
    std::string s = function_ + "(";
    bool first = true, star = false;
    auto sep = [&] {
        if (!first) s += ", ";
        first = false;
    };
    if (method_) {
        sep();
        s += "self";
    }
    for (std::size_t i = 0; i < params_.size(); ++i) {
        if (params_[i].keyword_only && !star) {
            sep();
            s += "*";
            star = true;
        }
        sep();
        s += names_[i];
        if (!texts_[i].empty()) s += "=" + texts_[i];
    }
    return s + ")\n--\n\n" + doc;
}

std::vector<py::object> unpack(py::handle value, std::size_t n) {
    std::vector<py::object> out;
    if (PyTuple_CheckExact(value.ptr()) && static_cast<std::size_t>(PyTuple_GET_SIZE(value.ptr())) == n) {
        out.reserve(n);
        for (std::size_t i = 0; i < n; ++i)
            out.push_back(py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(value.ptr(), static_cast<Py_ssize_t>(i))));
        return out;
    }
    PyObject* it = PyObject_GetIter(value.ptr());
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(value.ptr())->tp_name);
        }
        throw py::error_already_set();
    }
    py::object iter = py::reinterpret_steal<py::object>(it);
    for (;;) {
        PyObject* v = PyIter_Next(iter.ptr());
        if (!v) {
            if (PyErr_Occurred()) throw py::error_already_set();
            break;
        }
        if (out.size() == n) {
            Py_DECREF(v);
            PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zu)", n);
            throw py::error_already_set();
        }
        out.push_back(py::reinterpret_steal<py::object>(v));
    }
    if (out.size() < n) {
        PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected %zu, got %zu)", n, out.size());
        throw py::error_already_set();
    }
    return out;
}

}  // namespace brivel::sig
