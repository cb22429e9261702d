#include "common/signature.hpp"

#include <stdexcept>
#include <string>

#include "common/ns.hpp"

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

constexpr std::size_t kNone = static_cast<std::size_t>(-1);

// Binds the positional values args[0, npos) and the values of the keywords named in
// `kwnames` (a tuple of str, their values following the positional ones) to `list`, whose
// positional parameters come first. The first `by_position` parameters take no keyword.
std::vector<py::object> bind_list(const char* function, const std::vector<Param>& list, PyObject* const* args,
                                  std::size_t npos, PyObject* kwnames, std::size_t by_position = 0) {
    std::size_t positional = 0, required_positional = 0, star = kNone, star_star = kNone;
    for (std::size_t i = 0; i < list.size(); ++i) {
        const Param& p = list[i];
        if (p.star == Param::Star::args) {
            star = i;
        } else if (p.star == Param::Star::kwargs) {
            star_star = i;
        } else if (!p.keyword_only) {
            ++positional;
            if (p.required) ++required_positional;
        }
    }
    std::vector<py::object> out(list.size());
    if (npos > positional && star == kNone) {
        std::string takes = required_positional == positional
                                ? std::to_string(positional)
                                : "from " + std::to_string(required_positional) + " to " + std::to_string(positional);
        type_error(std::string(function) + "() takes " + takes + " positional argument" +
                   (positional == 1 && required_positional == positional ? "" : "s") + " but " +
                   std::to_string(npos) + (npos == 1 ? " was" : " were") + " given");
    }
    const std::size_t bound = npos < positional ? npos : positional;
    for (std::size_t i = 0; i < bound; ++i) out[i] = py::reinterpret_borrow<py::object>(args[i]);
    if (star != kNone) {
        py::tuple rest(npos - bound);
        for (std::size_t i = bound; i < npos; ++i) PyTuple_SET_ITEM(rest.ptr(), i - bound, Py_NewRef(args[i]));
        out[star] = std::move(rest);
    }
    py::dict extra;
    const Py_ssize_t nk = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t j = 0; j < nk; ++j) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, j);
        PyObject* value = args[npos + static_cast<std::size_t>(j)];
        std::size_t idx = by_position;
        while (idx < list.size() &&
               (list[idx].star != Param::Star::none || PyUnicode_CompareWithASCIIString(key, list[idx].name) != 0))
            ++idx;
        if (idx == list.size()) {
            if (star_star != kNone) {
                if (PyDict_SetItem(extra.ptr(), key, value) < 0) throw py::error_already_set();
                continue;
            }
            type_error(std::string(function) + "() got an unexpected keyword argument '" +
                       py::cast<std::string>(py::str(key)) + "'");
        }
        if (out[idx]) type_error(std::string(function) + "() got multiple values for argument '" + list[idx].name + "'");
        out[idx] = py::reinterpret_borrow<py::object>(value);
    }
    if (star_star != kNone) out[star_star] = std::move(extra);
    std::vector<const char*> missing_pos, missing_kw;
    for (std::size_t i = 0; i < list.size(); ++i)
        if (!out[i] && list[i].required) (list[i].keyword_only ? missing_kw : missing_pos).push_back(list[i].name);
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
    std::vector<Param> list;
    for (const Param& p : params)
        if (!p.result) list.push_back(p);
    std::vector<PyObject*> values;
    for (py::handle v : args) values.push_back(v.ptr());
    py::tuple names(py::len(kwargs));
    Py_ssize_t j = 0;
    for (auto item : kwargs) {
        PyTuple_SET_ITEM(names.ptr(), j++, Py_NewRef(item.first.ptr()));
        values.push_back(item.second.ptr());
    }
    return bind_list(function, list, values.data(), py::len(args), names.ptr());
}

Signature::Signature(const char* function, std::initializer_list<Param> params, const char* owner)
    : function_(function),
      qualname_(owner ? std::string(owner) + "." + function : function),
      self_by_position_(false),
      method_(owner != nullptr) {
    std::vector<Param> given;
    if (method_) given.push_back(Param{"self"});
    for (const Param& p : params) {
        if (p.result)
            result_ = p.annotation ? p.annotation : "";
        else
            given.push_back(p);
        if (p.star == Param::Star::kwargs) self_by_position_ = method_;
    }
    // The texts are copied: the parameter list may be a temporary.
    names_.reserve(given.size());
    for (const Param& p : given) names_.emplace_back(p.name);
    for (std::size_t i = 0; i < given.size(); ++i) {
        Param copy = given[i];
        copy.name = names_[i].c_str();
        copy.default_text = nullptr;
        copy.annotation = nullptr;
        params_.push_back(copy);
        defaults_.push_back(given[i].default_text ? literal(given[i].default_text) : py::object());
        annotations_.emplace_back(given[i].annotation ? given[i].annotation : "");
    }
}

Bound Signature::bind(PyObject* const* args, size_t nargsf, PyObject* kwnames) const {
    Bound out(bind_list(qualname_.c_str(), params_, args, static_cast<std::size_t>(PyVectorcall_NARGS(nargsf)), kwnames,
                        self_by_position_ ? 1 : 0),
              names_);
    for (std::size_t i = 0; i < out.size(); ++i)
        if (!out[i]) out[i] = defaults_[i];
    return out;
}

const py::object& Bound::operator[](std::string_view name) const {
    for (std::size_t i = skipped_; i < names_->size(); ++i)
        if ((*names_)[i] == name) return (*this)[i - skipped_];
    throw std::logic_error("no parameter '" + std::string(name) + "'");
}

py::dict Signature::annotations() const {
    py::dict d;
    for (std::size_t i = 0; i < names_.size(); ++i)
        if (!annotations_[i].empty()) d[py::str(names_[i])] = py::str(annotations_[i]);
    if (!result_.empty()) d["return"] = py::str(result_);
    return d;
}

py::object Signature::inspect_signature() const {
    using namespace pybind11::literals;
    py::object inspect = ns::import("inspect");
    py::object parameter = inspect.attr("Parameter");
    py::object empty = parameter.attr("empty");
    py::list list;
    for (std::size_t i = 0; i < params_.size(); ++i) {
        const Param& p = params_[i];
        const char* kind = p.star == Param::Star::args     ? "VAR_POSITIONAL"
                           : p.star == Param::Star::kwargs ? "VAR_KEYWORD"
                           : p.keyword_only                ? "KEYWORD_ONLY"
                           : i == 0 && self_by_position_   ? "POSITIONAL_ONLY"
                                                           : "POSITIONAL_OR_KEYWORD";
        py::object annotation = annotations_[i].empty() ? empty : py::str(annotations_[i]);
        list.append(parameter(names_[i], parameter.attr(kind), "default"_a = defaults_[i] ? defaults_[i] : empty,
                              "annotation"_a = annotation));
    }
    py::object result = result_.empty() ? empty : py::str(result_);
    return inspect.attr("Signature")(list, "return_annotation"_a = result);
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
