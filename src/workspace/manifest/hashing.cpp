#include "workspace/manifest/hashing.hpp"

#include "common/args.hpp"
#include "core/digest.hpp"
#include "common/errors.hpp"
#include "common/fspath.hpp"
#include "common/ns.hpp"
#include "workspace/cache_dir.hpp"

namespace brivel::workspace {

// Read block size for a call; a non-positive value (left unsettled by the configuration)
// falls back to the default block, since the digest does not depend on it.
std::size_t hash_chunk_size() {
    long long n = ns::get_int("CHUNK_SIZE");
    return n > 0 ? static_cast<std::size_t>(n) : std::size_t{1} << 20;
}

namespace {

py::tuple sha256_file(py::object path) {
    fspath::Encoded file = fspath::encode(path);
    std::size_t chunk = hash_chunk_size();
    digest::FileDigest out;
    int err;
    {
        py::gil_scoped_release nogil;
        err = digest::sha256_file(file.bytes.c_str(), chunk, out);
    }
    // A failed open names the file, a failed read does not, as with the interpreter's open().
    if (err) errors::raise_errno(err, out.opened ? py::handle() : py::handle(file.name));
    return py::make_tuple(out.hex, py::int_(out.bytes));
}

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
    py::dict sig;
    sig["size"] = size;
    sig["mtime_ns"] = mtime;
    sig["ctime_ns"] = ctime;
    sig["inode"] = inode;
    return sig;
}

py::object hash_cache_hit(py::object cached, py::object sig) {
    args::exact_dict(cached, "cached", true);
    args::exact_dict(sig, "sig", true);
    if (cached.is_none() || !args::truthy(cached) || sig.is_none() || !args::truthy(sig)) return py::none();
    return matching_hash(cached, [&](int k) { return member_or_none(sig, signature_key(k)); });
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
    return ns::call("_hash_cache_dir").attr("__truediv__")(name);
}

py::object load_hash_cache(py::object path) {
    if (!ns::get_bool("HASH_CACHE_ENABLED")) return py::dict();
    py::object entries = py::none();
    errors::ignore_errors([&] {
        py::object json = ns::import("json");
        entries = json.attr("loads")(path.attr("read_text")()).attr("get")("entries");
    });
    if (PyDict_Check(entries.ptr())) return entries;
    return py::dict();
}

}  // namespace

namespace {

struct EntryKeys {
    py::str members[5];
    EntryKeys() {
        const char* names[] = {"size", "mtime_ns", "ctime_ns", "inode", "sha256"};
        for (int i = 0; i < 5; ++i) members[i] = py::reinterpret_steal<py::str>(PyUnicode_InternFromString(names[i]));
    }
};

const EntryKeys& entry_keys() {
    static const EntryKeys* keys = new EntryKeys();  // lives for the process, like the module
    return *keys;
}

}  // namespace

const py::str& signature_key(int i) { return entry_keys().members[i]; }

const py::str& sha256_key() { return entry_keys().members[4]; }

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
    m.def("_hash_cache_dir", &hash_cache_dir);
    m.def("_hash_cache_path", &hash_cache_path, py::arg("root"));
    m.def("_load_hash_cache", &load_hash_cache, py::arg("path"));
    m.def("_stat_signature", &stat_signature, py::arg("st"));
    m.def("_hash_cache_hit", &hash_cache_hit, py::arg("cached"), py::arg("sig"));
}

void define_sha256_file(py::module_& m) { m.def("_sha256_file", &sha256_file, py::arg("path")); }

}  // namespace brivel::workspace
