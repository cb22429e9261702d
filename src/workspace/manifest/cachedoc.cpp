#include "workspace/manifest/cachedoc.hpp"

#include <string>

#include "core/cachedoc.hpp"

namespace brivel::workspace {
namespace {

// json's ASCII escaping of a str, as the native document writer does it.
void put_string(std::string& out, PyObject* s) {
    const int kind = PyUnicode_KIND(s);
    const void* data = PyUnicode_DATA(s);
    cachedoc::put_chars(out, static_cast<std::size_t>(PyUnicode_GET_LENGTH(s)),
                        [&](std::size_t i) { return static_cast<char32_t>(PyUnicode_READ(kind, data, i)); });
}

bool put_int(std::string& out, PyObject* v) {
    int overflow = 0;
    long long x = PyLong_AsLongLongAndOverflow(v, &overflow);
    if (overflow || (x == -1 && PyErr_Occurred())) {
        PyErr_Clear();
        return false;
    }
    out += std::to_string(x);
    return true;
}

}  // namespace

py::object cache_document(py::handle entries) {
    if (!PyDict_CheckExact(entries.ptr())) return py::none();
    std::string out = "{\"version\": 1, \"entries\": {";
    Py_ssize_t pos = 0, ipos;
    PyObject *key, *entry, *k, *v;
    bool first = true;
    while (PyDict_Next(entries.ptr(), &pos, &key, &entry)) {
        if (!PyUnicode_CheckExact(key) || !PyDict_CheckExact(entry)) return py::none();
        if (!first) out += ", ";
        first = false;
        put_string(out, key);
        out += ": {";
        ipos = 0;
        bool first_member = true;
        while (PyDict_Next(entry, &ipos, &k, &v)) {
            if (!PyUnicode_CheckExact(k)) return py::none();
            if (!first_member) out += ", ";
            first_member = false;
            put_string(out, k);
            out += ": ";
            if (PyUnicode_CheckExact(v))
                put_string(out, v);
            else if (!PyLong_CheckExact(v) || !put_int(out, v))
                return py::none();
        }
        out += '}';
    }
    out += "}}";
    return py::str(out);
}

}  // namespace brivel::workspace
