#include "workspace/manifest/hash_cache.hpp"

#include "common/args.hpp"
#include "common/errors.hpp"
#include "common/ns.hpp"
#include "common/signature.hpp"
#include "core/digest.hpp"
#include "workspace/cache_dir.hpp"
#include "workspace/state.hpp"

namespace brivel::workspace {
namespace {

// 0 when the attribute is missing or false, else int() of it.
py::object stat_field(py::handle st, const char* attr) {
    py::object v = py::getattr(st, attr, py::none());
    if (!args::truthy(v)) return py::int_(0);
    return to_int(v);
}

py::object stat_signature(py::object st) {
    py::object mtime = stat_field(st, "st_mtime_ns");
    py::object ctime = stat_field(st, "st_ctime_ns");
    py::object inode = stat_field(st, "st_ino");
    py::object size = to_int(st.attr("st_size"));
    if (mtime.equal(py::int_(0)) || inode.equal(py::int_(0))) return py::none();
    py::dict stat_sig;
    stat_sig["size"] = size;
    stat_sig["mtime_ns"] = mtime;
    stat_sig["ctime_ns"] = ctime;
    stat_sig["inode"] = inode;
    return stat_sig;
}

py::object hash_cache_hit(py::object cached, py::object stat_sig) {
    args::exact_dict(cached, "cached", true);
    args::exact_dict(stat_sig, "sig", true);
    if (cached.is_none() || !args::truthy(cached) || stat_sig.is_none() || !args::truthy(stat_sig)) return py::none();
    return matching_hash(cached, [&](int k) { return member_or_none(stat_sig, signature_key(k)); });
}

py::object hash_cache_dir() { return cache_subdir("hashcache"); }

py::object hash_cache_path(py::object root) {
    py::object key = root.is_none() ? py::str("__noroot__") : py::str(root.attr("resolve")());
    py::bytes utf8 = key.attr("encode")("utf-8", "surrogatepass");
    char* data = nullptr;
    Py_ssize_t n = 0;
    PyBytes_AsStringAndSize(utf8.ptr(), &data, &n);
    digest::Sha256Raw raw = digest::sha256(data, static_cast<std::size_t>(n));
    std::string name = digest::hex(raw.data(), 8) + ".json";
    return divide(ns::call("_hash_cache_dir"), py::str(name));
}

py::object load_hash_cache(py::object path) {
    if (!ns::get_bool("HASH_CACHE_ENABLED")) return py::dict();
    py::object entries = py::none();
    errors::best_effort([&] {
        py::object json = ns::import("json");
        entries = json.attr("loads")(path.attr("read_text")()).attr("get")("entries");
    });
    if (PyDict_Check(entries.ptr())) return entries;
    return py::dict();
}

}  // namespace

const py::str& signature_key(int i) { return state().entry_keys[i]; }

const py::str& sha256_key() { return state().entry_keys[4]; }

py::object member_or_none(py::handle d, py::handle key) {
    PyObject* v = PyDict_GetItemWithError(d.ptr(), key.ptr());
    if (!v && PyErr_Occurred()) throw py::error_already_set();
    return v ? py::reinterpret_borrow<py::object>(v) : py::none();
}

py::object matching_hash(py::handle cached, const std::function<py::object(int)>& current) {
    py::object sha = member_or_none(cached, sha256_key());
    if (!args::truthy(sha)) return py::none();
    py::str text = to_str(sha);
    if (PyUnicode_GET_LENGTH(text.ptr()) != 64) return py::none();
    for (int k = 0; k < 4; ++k)
        if (!member_or_none(cached, signature_key(k)).equal(current(k))) return py::none();
    return text;
}

void define_hash_cache(py::module_& m) {
    const char* names[] = {"size", "mtime_ns", "ctime_ns", "inode", "sha256"};
    for (int i = 0; i < 5; ++i) state().entry_keys[i] = intern(names[i]);
    sig::def(m, "_hash_cache_dir", {},
             "Return the hash-cache directory, $BRIVEL_CACHE_DIR/hashcache (default\n"
             "~/.brivel_cache/hashcache), creating it when possible.",
             [](const sig::Bound&) { return hash_cache_dir(); });
    sig::def(m, "_hash_cache_path", {sig::arg("root")},
             "Return the cache file of the project `root` (None: files without a root).",
             [](const sig::Bound& a) { return hash_cache_path(a[0]); });
    sig::def(m, "_load_hash_cache", {sig::arg("path")},
             "Return the entries of the cache file `path`; {} when it is missing, unreadable or\n"
             "malformed, or when HASH_CACHE_ENABLED is false.",
             [](const sig::Bound& a) { return load_hash_cache(a[0]); });
    sig::def(m, "_stat_signature", {sig::arg("st")},
             "Return the cache signature {size, mtime_ns, ctime_ns, inode} of the stat result `st`,\n"
             "or None when it has no modification time or inode.",
             [](const sig::Bound& a) { return stat_signature(a[0]); });
    sig::def(m, "_hash_cache_hit", {sig::arg("cached"), sig::arg("sig")},
             "Return the stored hash of the cache entry `cached` when its signature equals `sig`, else None.",
             [](const sig::Bound& a) { return hash_cache_hit(a[0], a[1]); });
    state().hash_cache_path = ns::get("_hash_cache_path");
    state().load_hash_cache = ns::get("_load_hash_cache");
}

}  // namespace brivel::workspace
