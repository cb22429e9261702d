#include "workspace/manifest/resolve.hpp"

#include <algorithm>
#include <optional>

#include "common/args.hpp"
#include "common/errors.hpp"
#include "common/fspath.hpp"
#include "common/interrupt.hpp"
#include "common/ns.hpp"
#include "common/signature.hpp"
#include "core/cachedoc.hpp"
#include "core/hashpool.hpp"
#include "workspace/manifest/cachedoc.hpp"
#include "workspace/manifest/hash_cache.hpp"
#include "workspace/manifest/hash_pass.hpp"
#include "workspace/state.hpp"

namespace brivel::workspace {
namespace {

// A pending item, unpacked: its local path, relpath and `to`; `job` is its place in the
// batch of native stats, or -1 when its path's own stat() is called.
struct Item {
    std::vector<py::object> v;
    py::str key;  // the local path's text, the cache key
    long job = -1;
};

// What the stat pass learnt of a readable regular file.
struct Stat {
    py::object mode;
    std::optional<cachedoc::Signature> native;  // from a native stat, else
    py::object st;                              // the stat result of the path's stat()
};

// What the resolution builds up: a record per pending slot, the new cache document's
// entries, and the files left to hash.
struct Outcome {
    std::vector<py::object> results;
    FreshEntries fresh;
    std::vector<HashWork> to_hash;
};

// The stat pass runs natively while Path.stat, _stat_signature and _hash_cache_hit are the
// module's own (and then only for exact PosixPath items).
bool native_stat_applies() {
    const ModuleState& mod = state();
    return own("_stat_signature", mod.stat_signature) && own("_hash_cache_hit", mod.hash_cache_hit) &&
           py::object(mod.posix_path.attr("stat")).is(mod.path_stat);
}

// 1. The items unpacked in order; the error of one that cannot be is kept in `failure`, to be
// raised once the items before it have been dealt with. Items that can be stat'ed natively
// get a job in `stats`.
std::vector<Item> unpack(const py::list& pending, bool native, std::vector<hashpool::StatJob>& stats,
                         std::optional<py::error_already_set>& failure) {
    const ModuleState& mod = state();
    const auto n = static_cast<std::size_t>(PyList_GET_SIZE(pending.ptr()));
    std::vector<Item> items;
    // The list is re-measured at every item and each item held while it is unpacked: an
    // item's __iter__ may change the list.
    for (std::size_t i = 0; i < n && static_cast<Py_ssize_t>(i) < PyList_GET_SIZE(pending.ptr()); ++i) {
        Item it;
        try {
            PyObject* raw = PyList_GET_ITEM(pending.ptr(), static_cast<Py_ssize_t>(i));
            it.v = sig::unpack(py::reinterpret_borrow<py::object>(raw), 3);
        } catch (py::error_already_set& e) {
            failure = std::move(e);
            break;
        }
        if (native && Py_IS_TYPE(it.v[0].ptr(), reinterpret_cast<PyTypeObject*>(mod.posix_path.ptr()))) {
            it.key = py::str(it.v[0]);
            try {
                std::string bytes = fspath::encode(it.key).bytes;
                stats.emplace_back().path = std::move(bytes);
                it.job = static_cast<long>(stats.size() - 1);
            } catch (py::error_already_set&) {
                // left to Path.stat(), which raises the same error in its turn
            }
        }
        items.push_back(std::move(it));
    }
    return items;
}

// 2. The native stats, in one batch without the GIL; Ctrl-C stops a long one.
void stat_natively(std::vector<hashpool::StatJob>& stats) {
    std::size_t threads = 1;  // the stat pass borrows the hash workers' allowance
    errors::best_effort([&] { threads = static_cast<std::size_t>(std::max(1LL, ns::get_int("UPLOAD_HASH_WORKERS"))); });
    interrupt::run([&](const cancel::Token& stop) { hashpool::stat_all(stats, threads, &stop); });
}

// 3. The stat of one item, from the batch or through its path's stat(); false (and logged)
// when the file is left out.
bool stat_of(const Item& it, const std::vector<hashpool::StatJob>& stats, Stat& out) {
    const py::object& local = it.v[0];
    if (it.job >= 0) {
        const hashpool::StatJob& job = stats[static_cast<std::size_t>(it.job)];
        if (job.error) {
            warn_unreadable(local, errors::os_error(job.error, it.key));
            return false;
        }
        if (!S_ISREG(job.st.st_mode)) {
            warn_unreadable(local, not_regular());
            return false;
        }
        out.native = cachedoc::signature_of(job.st);
        out.mode = py::int_(job.st.st_mode & 0777);
        return true;
    }
    try {
        out.st = local.attr("stat")();
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_OSError)) throw;
        warn_unreadable(local, e.value());
        return false;
    }
    if (!S_ISREG(static_cast<mode_t>(py::cast<long long>(py::int_(out.st.attr("st_mode")))))) {
        warn_unreadable(local, not_regular());
        return false;
    }
    out.mode = steal_or_throw(PyNumber_And(out.st.attr("st_mode").ptr(), py::int_(0777).ptr()));
    return true;
}

// The cache's entry for `key` when it is a mapping, else None.
py::object stored_entry(py::handle cache, py::handle key) {
    PyObject* v = nullptr;
    if (PyDict_Check(cache.ptr())) {
        v = PyDict_GetItemWithError(cache.ptr(), key.ptr());
        if (!v && PyErr_Occurred()) throw py::error_already_set();
    } else {
        py::object got = cache.attr("get")(key);
        return PyDict_Check(got.ptr()) ? got : py::none();
    }
    return v && PyDict_Check(v) ? py::reinterpret_borrow<py::object>(v) : py::none();
}

// 4. The cached hash of a stat'ed item, or None when the cache does not hold it. `sig`
// receives the signature _stat_signature gave, when it was asked.
py::object cached_hash(py::handle cache, Item& it, const Stat& s, py::object& stat_sig) {
    if (!s.native) {
        it.key = py::str(it.v[0]);
        stat_sig = ns::call("_stat_signature", s.st);
        return ns::call("_hash_cache_hit", stored_entry(cache, it.key), stat_sig);
    }
    py::object stored = stored_entry(cache, it.key);
    if (!PyDict_CheckExact(stored.ptr()) && !stored.is_none())
        return ns::call("_hash_cache_hit", stored, signature_dict(*s.native));
    // _hash_cache_hit's rule, on the native signature
    if (stored.is_none() || PyDict_GET_SIZE(stored.ptr()) == 0 || !s.native->present()) return py::none();
    return matching_hash(stored, [&](int k) { return signature_member(*s.native, k); });
}

// 3 to 5 for item `i`: a file the cache holds gets its record and its new entry now, any
// other readable file becomes a work item of the hash pass.
void look_up(std::size_t i, Item& it, const std::vector<hashpool::StatJob>& stats, py::handle cache, Outcome& out) {
    Stat s;
    if (!stat_of(it, stats, s)) return;
    py::object local = it.v[0], rel = it.v[1], to = it.v[2];
    py::object stat_sig = py::none();
    py::object sha = cached_hash(cache, it, s, stat_sig);
    py::object size = s.native ? py::int_(s.native->size) : py::int_(s.st.attr("st_size"));
    if (sha.is_none()) {
        out.to_hash.push_back({i, local, rel, to, s.mode, s.native, stat_sig});
        return;
    }
    out.results[i] = record(rel, sha, size, s.mode, local, to);
    if (s.native)
        out.fresh.add(it.key, *s.native, sha);
    else
        out.fresh.add(it.key, entry_of(stat_sig, sha));
}

py::list resolve_manifest_files(const sig::Bound& a) {
    args::exact_list(a[0], "pending");
    py::list pending = a[0];
    py::object cache_path = ns::call("_hash_cache_path", a[1]);
    py::object cache = ns::call("_load_hash_cache", cache_path);

    std::vector<hashpool::StatJob> stats;
    std::optional<py::error_already_set> failure;
    std::vector<Item> items = unpack(pending, native_stat_applies(), stats, failure);
    stat_natively(stats);

    Outcome out;
    out.results.resize(items.size());
    for (std::size_t i = 0; i < items.size(); ++i) look_up(i, items[i], stats, cache, out);
    if (failure) throw std::move(*failure);

    hash_pass(out.to_hash, out.results, out.fresh);

    py::list files;
    for (py::object& r : out.results)
        if (r) files.append(r);
    if (ns::get_bool("HASH_CACHE_ENABLED")) out.fresh.write(cache_path);
    return files;
}

}  // namespace

void define_resolve_manifest_files(py::module_& m) {
    ModuleState& mod = state();
    mod.stat_signature = ns::get("_stat_signature");
    mod.hash_cache_hit = ns::get("_hash_cache_hit");
    mod.sha256_file = ns::get("_sha256_file");
    sig::def(m, "_resolve_manifest_files", {sig::arg("pending"), sig::arg("root")},
             "Return a ManifestFile for each readable regular file of `pending` ((local path,\n"
             "relpath, to) tuples), hashing only files whose hash-cache entry for `root` is stale;\n"
             "unreadable files are logged and left out. The cache is rewritten afterwards.",
             &resolve_manifest_files);
    mod.resolve_manifest_files = ns::get("_resolve_manifest_files");
}

}  // namespace brivel::workspace
