#include "workspace/manifest/resolve.hpp"

#include <algorithm>
#include <cstring>
#include <optional>

#include "common/args.hpp"
#include "common/errors.hpp"
#include "common/fspath.hpp"
#include "common/ns.hpp"
#include "common/signature.hpp"
#include "workspace/manifest/cachedoc.hpp"
#include "workspace/manifest/hash_cache.hpp"
#include "workspace/manifest/hash_pass.hpp"
#include "core/hashpool.hpp"
#include "workspace/state.hpp"

namespace brivel::workspace {
namespace {

struct StatFields {
    bool present = false;
    long long size = 0;
    struct timespec mtime {}, ctime {};
    unsigned long long inode = 0;
};

// seconds * 10**9 + nanoseconds, as st_mtime_ns gives it: a time after 2262 does not fit in
// 64 bits and is computed with the interpreter's integers.
py::object time_ns(const struct timespec& t) {
    long long ns;
    if (!__builtin_mul_overflow(static_cast<long long>(t.tv_sec), 1000000000LL, &ns) &&
        !__builtin_add_overflow(ns, static_cast<long long>(t.tv_nsec), &ns))
        return py::int_(ns);
    return py::int_(static_cast<long long>(t.tv_sec)) * py::int_(1000000000LL) + py::int_(static_cast<long long>(t.tv_nsec));
}

StatFields native_sig(const struct stat& st) {
    StatFields s;
    s.size = static_cast<long long>(st.st_size);
    s.mtime = st.st_mtim;
    s.ctime = st.st_ctim;
    s.inode = static_cast<unsigned long long>(st.st_ino);
    s.present = (s.mtime.tv_sec != 0 || s.mtime.tv_nsec != 0) && s.inode != 0;
    return s;
}

py::object sig_values(const StatFields& s, int k) {
    switch (k) {
        case 0: return py::int_(s.size);
        case 1: return time_ns(s.mtime);
        case 2: return time_ns(s.ctime);
        default: return py::int_(s.inode);
    }
}

void set_item(py::handle d, py::handle key, py::handle value) {
    if (PyDict_SetItem(d.ptr(), key.ptr(), value.ptr()) < 0) throw py::error_already_set();
}

py::object sig_dict(const StatFields& s) {
    if (!s.present) return py::none();
    py::dict d;
    for (int k = 0; k < 4; ++k) set_item(d, signature_key(k), sig_values(s, k));
    return d;
}

// The cache entry of a native signature: its members in order, then "sha256".
py::object native_entry(const StatFields& s, py::handle sha) {
    py::object d = sig_dict(s);
    if (!d.is_none()) set_item(d, sha256_key(), sha);
    return d;
}

// _hash_cache_hit for an exact dict (or None) and a native signature.
py::object native_hit(py::handle stored, const StatFields& sig) {
    if (stored.is_none() || PyDict_GET_SIZE(stored.ptr()) == 0 || !sig.present) return py::none();
    return matching_hash(stored, [&](int k) { return sig_values(sig, k); });
}

// A stored entry that matched and is already in the written form (the four signature
// members as ints, then the same "sha256", nothing else) serves as the fresh entry too.
bool canonical_entry(py::handle stored, py::handle sha) {
    if (!PyDict_CheckExact(stored.ptr()) || PyDict_GET_SIZE(stored.ptr()) != 5) return false;
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    for (int i = 0; PyDict_Next(stored.ptr(), &pos, &k, &v); ++i) {
        py::handle expected = i < 4 ? signature_key(i) : sha256_key();
        if (!PyUnicode_CheckExact(k) || PyUnicode_Compare(k, expected.ptr()) != 0) return false;
        if (i < 4 ? !PyLong_CheckExact(v) : v != sha.ptr()) return false;
    }
    return true;
}

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

py::list resolve_manifest_files(const sig::Bound& a) {
    args::exact_list(a[0], "pending");
    py::list pending = a[0];
    py::object cache_path = ns::call("_hash_cache_path", a[1]);
    py::object cache = ns::call("_load_hash_cache", cache_path);

    const std::size_t n = static_cast<std::size_t>(PyList_GET_SIZE(pending.ptr()));
    std::vector<py::object> results(n);
    py::dict fresh;
    std::vector<HashWork> to_hash;

    // Items are unpacked and, where the module's own stat and signature apply, stat'ed
    // natively in one batch; the outcomes are then taken in pending order.
    const ModuleState& mod = state();
    const bool own_sig = own("_stat_signature", mod.stat_signature) && own("_hash_cache_hit", mod.hash_cache_hit);
    const bool own_stat = own_sig && py::object(mod.posix_path.attr("stat")).is(mod.path_stat);
    struct Item {
        std::vector<py::object> v;  // local path, relpath, to
        py::str key;
        long job = -1;
    };
    std::vector<Item> items;
    std::vector<hashpool::StatJob> stats;
    std::optional<py::error_already_set> failure;
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
        if (own_stat && Py_IS_TYPE(it.v[0].ptr(), reinterpret_cast<PyTypeObject*>(mod.posix_path.ptr()))) {
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
    {
        std::size_t threads = 1;  // the stat pass borrows the hash workers' allowance
        errors::best_effort([&] { threads = static_cast<std::size_t>(std::max(1LL, ns::get_int("UPLOAD_HASH_WORKERS"))); });
        py::gil_scoped_release nogil;
        hashpool::stat_all(stats, threads);
    }

    for (std::size_t i = 0; i < items.size(); ++i) {
        Item& it = items[i];
        py::object local = it.v[0], rel = it.v[1], to = it.v[2];
        py::object st, mode, sig, sha, size;
        StatFields native;
        if (it.job >= 0) {
            hashpool::StatJob& job = stats[static_cast<std::size_t>(it.job)];
            if (job.error) {
                warn_unreadable(local, errors::os_error(job.error, it.key));
                continue;
            }
            if (!S_ISREG(job.st.st_mode)) {
                warn_unreadable(local, not_regular());
                continue;
            }
            native = native_sig(job.st);
            mode = py::int_(job.st.st_mode & 0777);
            size = py::int_(native.size);
        } else {
            try {
                st = local.attr("stat")();
            } catch (py::error_already_set& e) {
                if (!e.matches(PyExc_OSError)) throw;
                warn_unreadable(local, e.value());
                continue;
            }
            if (!S_ISREG(static_cast<mode_t>(py::cast<long long>(py::int_(st.attr("st_mode")))))) {
                warn_unreadable(local, not_regular());
                continue;
            }
            mode = steal_or_throw(PyNumber_And(st.attr("st_mode").ptr(), py::int_(0777).ptr()));
        }
        py::str key = it.job >= 0 ? it.key : py::str(local);
        py::object stored;
        if (it.job >= 0) {
            stored = stored_entry(cache, key);
            if (PyDict_CheckExact(stored.ptr()) || stored.is_none()) {
                sha = native_hit(stored, native);
                if (sha.is_none()) sig = sig_dict(native);  // carried by the work item
            } else {
                sig = sig_dict(native);
                sha = ns::call("_hash_cache_hit", stored, sig);
            }
        } else {
            sig = ns::call("_stat_signature", st);
            sha = ns::call("_hash_cache_hit", stored_entry(cache, key), sig);
            size = py::int_(st.attr("st_size"));
        }
        if (!sha.is_none()) {
            results[i] = record(rel, sha, size, mode, local, to);
            py::object entry = it.job < 0                          ? entry_of(sig, sha)
                               : canonical_entry(stored, sha) ? stored
                                                              : native_entry(native, sha);
            if (!entry.is_none()) set_item(fresh, key, entry);
        } else {
            to_hash.push_back({i, local, rel, to, mode, sig});
        }
    }
    if (failure) throw std::move(*failure);

    hash_pass(to_hash, results, fresh);

    py::list files;
    for (py::object& r : results)
        if (r) files.append(r);

    if (ns::get_bool("HASH_CACHE_ENABLED")) {
        errors::best_effort([&] {
            py::object text = cache_document(fresh);
            if (text.is_none()) {
                py::dict doc;
                doc["version"] = 1;
                doc["entries"] = fresh;
                text = ns::import("json").attr("dumps")(doc);
            }
            cache_path.attr("write_text")(text);
        });
    }
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
