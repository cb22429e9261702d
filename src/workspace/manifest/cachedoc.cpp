#include "workspace/manifest/cachedoc.hpp"

#include <string>

namespace brivel::workspace {
namespace {

// json's ASCII escaping: printable ASCII as is (but '"' and '\'), the short escapes for
// \b \f \n \r \t, every other character as \uXXXX in lower-case hex, characters above
// U+FFFF as a surrogate pair.
void put_string(std::string& out, PyObject* s) {
    static constexpr char hexd[] = "0123456789abcdef";
    auto u = [&](unsigned v) {
        out += "\\u";
        for (int shift = 12; shift >= 0; shift -= 4) out += hexd[(v >> shift) & 0xF];
    };
    out += '"';
    const int kind = PyUnicode_KIND(s);
    const void* data = PyUnicode_DATA(s);
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c >= ' ' && c <= '~' && c != '\\' && c != '"') {
            out += static_cast<char>(c);
            continue;
        }
        switch (c) {
            case '\\': out += "\\\\"; break;
            case '"': out += "\\\""; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c >= 0x10000) {
                    Py_UCS4 v = c - 0x10000;
                    u(0xD800 | ((v >> 10) & 0x3FF));
                    u(0xDC00 | (v & 0x3FF));
                } else {
                    u(c);
                }
        }
    }
    out += '"';
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
