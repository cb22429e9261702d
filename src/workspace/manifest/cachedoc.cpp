#include "workspace/manifest/cachedoc.hpp"

#include <climits>
#include <string>

#include "common/errors.hpp"
#include "common/ns.hpp"
#include "workspace/manifest/hash_cache.hpp"

namespace brivel::workspace {
namespace {

py::object int_of(__int128 v) {
    if (v >= LLONG_MIN && v <= LLONG_MAX) return py::int_(static_cast<long long>(v));
    // a time past 2262
    std::string digits;
    const bool neg = v < 0;
    unsigned __int128 u = neg ? -static_cast<unsigned __int128>(v) : static_cast<unsigned __int128>(v);
    for (; u; u /= 10) digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(u % 10)));
    if (neg) digits.insert(digits.begin(), '-');
    return steal_or_throw(PyLong_FromString(digits.c_str(), nullptr, 10));
}

// json's ASCII escaping of a str, through the core's writer.
void put_string(std::string& out, PyObject* s) {
    const int kind = PyUnicode_KIND(s);
    const void* data = PyUnicode_DATA(s);
    cachedoc::put_chars(out, static_cast<std::size_t>(PyUnicode_GET_LENGTH(s)),
                        [&](std::size_t i) { return static_cast<char32_t>(PyUnicode_READ(kind, data, i)); });
}

// The members of an entry mapping in the written form (an exact dict of the four signature
// members as ints, then a str "sha256", nothing else); nullopt for any other.
std::optional<cachedoc::Members> written_form(py::handle entry) {
    if (!PyDict_CheckExact(entry.ptr()) || PyDict_GET_SIZE(entry.ptr()) != 5) return std::nullopt;
    __int128 v[4];
    Py_ssize_t pos = 0;
    PyObject *k, *value;
    for (int i = 0; PyDict_Next(entry.ptr(), &pos, &k, &value); ++i) {
        py::handle expected = i < 4 ? signature_key(i) : sha256_key();
        if (!PyUnicode_CheckExact(k) || PyUnicode_Compare(k, expected.ptr()) != 0) return std::nullopt;
        if (i == 4) return PyUnicode_CheckExact(value) ? std::optional(cachedoc::Members{v[0], v[1], v[2], v[3]}) : std::nullopt;
        if (!PyLong_CheckExact(value)) return std::nullopt;
        int overflow = 0;
        const long long x = PyLong_AsLongLongAndOverflow(value, &overflow);
        if (overflow) return std::nullopt;  // beyond 64 bits: left to json
        v[i] = x;
    }
    return std::nullopt;
}

}  // namespace

py::object signature_member(const cachedoc::Signature& stat_sig, int k) {
    switch (k) {
        case 0: return py::int_(stat_sig.size);
        case 1: return int_of(cachedoc::nanoseconds(stat_sig.mtime));
        case 2: return int_of(cachedoc::nanoseconds(stat_sig.ctime));
        default: return py::int_(stat_sig.inode);
    }
}

py::object signature_dict(const cachedoc::Signature& stat_sig) {
    if (!stat_sig.present()) return py::none();
    py::dict d;
    for (int k = 0; k < 4; ++k)
        if (PyDict_SetItem(d.ptr(), signature_key(k).ptr(), signature_member(stat_sig, k).ptr()) < 0)
            throw py::error_already_set();
    return d;
}

py::object entry_of(py::handle stat_sig, py::handle sha) {
    if (stat_sig.is_none()) return py::none();
    py::dict d;
    if (PyDict_Update(d.ptr(), stat_sig.ptr()) < 0) throw py::error_already_set();
    d[sha256_key()] = sha;
    return d;
}

void FreshEntries::add(py::handle key, const cachedoc::Signature& stat_sig, py::handle sha) {
    if (!stat_sig.present()) return;
    if (PyUnicode_CheckExact(sha.ptr()))
        put({py::reinterpret_borrow<py::object>(key), py::reinterpret_borrow<py::object>(sha), cachedoc::members_of(stat_sig), {}});
    else
        put({py::reinterpret_borrow<py::object>(key), {}, std::nullopt, entry_of(signature_dict(stat_sig), sha)});
}

void FreshEntries::add(py::handle key, py::handle entry) {
    if (entry.is_none()) return;
    std::optional<cachedoc::Members> m = written_form(entry);
    py::object k = py::reinterpret_borrow<py::object>(key);
    if (m)
        put({k, member_or_none(entry, sha256_key()), m, {}});
    else
        put({k, {}, std::nullopt, py::reinterpret_borrow<py::object>(entry)});
}

void FreshEntries::put(Entry e) {
    PyObject* at = PyDict_GetItemWithError(place_.ptr(), e.key.ptr());
    if (!at && PyErr_Occurred()) throw py::error_already_set();
    if (at) {
        entries_[PyLong_AsSize_t(at)] = std::move(e);
        return;
    }
    place_[e.key] = py::int_(entries_.size());
    entries_.push_back(std::move(e));
}

void FreshEntries::write(py::handle cache_path) const {
    errors::best_effort([&] {
        cachedoc::Writer doc;
        py::object json;
        for (const Entry& e : entries_) {
            auto key = [&](std::string& out) { put_string(out, e.key.ptr()); };
            if (e.members) {
                doc.add(key, *e.members, [&](std::string& out) { put_string(out, e.sha.ptr()); });
                continue;
            }
            // Entries the core cannot write come only from replaced steps: a _stat_signature
            // giving a mapping of another form (other members, order or value types, or ints
            // beyond 64 bits), or a _hash_cache_hit or _sha256_file giving a hash that is no str.
            if (!json) json = ns::import("json");
            py::str text = json.attr("dumps")(e.mapping);
            Py_ssize_t n = 0;
            const char* ascii = PyUnicode_AsUTF8AndSize(text.ptr(), &n);
            if (!ascii) throw py::error_already_set();
            doc.add_value(key, std::string_view(ascii, static_cast<std::size_t>(n)));
        }
        cache_path.attr("write_text")(py::str(doc.finish()));
    });
}

}  // namespace brivel::workspace
