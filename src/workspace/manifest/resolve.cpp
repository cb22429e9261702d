#include "workspace/manifest/resolve.hpp"

#include <algorithm>
#include <cstring>
#include <optional>

#include "common/args.hpp"
#include "common/errors.hpp"
#include "common/fspath.hpp"
#include "common/pool.hpp"
#include "common/ns.hpp"
#include "common/signature.hpp"
#include "workspace/manifest/cachedoc.hpp"
#include "workspace/manifest/hashing.hpp"
#include "core/hashpool.hpp"

namespace brivel::workspace {
namespace {

// Objects the module defined, for the identity tests of the native paths.
PyObject* g_stat_signature = nullptr;
PyObject* g_hash_cache_hit = nullptr;
PyObject* g_sha256_file = nullptr;
PyObject* g_posix_path = nullptr;
PyObject* g_path_stat = nullptr;

struct Sig {
    bool present = false;
    long long size = 0, mtime_ns = 0, ctime_ns = 0;
    unsigned long long inode = 0;
};

Sig native_sig(const struct stat& st) {
    Sig s;
    s.size = static_cast<long long>(st.st_size);
    s.mtime_ns = static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
    s.ctime_ns = static_cast<long long>(st.st_ctim.tv_sec) * 1000000000LL + st.st_ctim.tv_nsec;
    s.inode = static_cast<unsigned long long>(st.st_ino);
    s.present = s.mtime_ns != 0 && s.inode != 0;
    return s;
}

py::object sig_values(const Sig& s, int k) {
    switch (k) {
        case 0: return py::int_(s.size);
        case 1: return py::int_(s.mtime_ns);
        case 2: return py::int_(s.ctime_ns);
        default: return py::int_(s.inode);
    }
}

// The keywords of a record, interned once.
const py::tuple& record_keywords() {
    static const py::tuple* k = [] {
        auto intern = [](const char* s) { return py::reinterpret_steal<py::str>(PyUnicode_InternFromString(s)); };
        return new py::tuple(py::make_tuple(intern("relpath"), intern("sha256"), intern("size"), intern("mode"),
                                            intern("local_path"), intern("to")));
    }();  // lives for the process, like the module
    return *k;
}

void set_item(py::handle d, py::handle key, py::handle value) {
    if (PyDict_SetItem(d.ptr(), key.ptr(), value.ptr()) < 0) throw py::error_already_set();
}

py::object sig_dict(const Sig& s) {
    if (!s.present) return py::none();
    py::dict d;
    for (int k = 0; k < 4; ++k) set_item(d, signature_key(k), sig_values(s, k));
    return d;
}

// The cache entry of a native signature: its members in order, then "sha256".
py::object native_entry(const Sig& s, py::handle sha) {
    py::object d = sig_dict(s);
    if (!d.is_none()) set_item(d, sha256_key(), sha);
    return d;
}

// A cache entry: a new mapping of the signature's members in their order, then "sha256".
// The signature itself is left alone: a replaced _stat_signature may hand out one dict
// for several files, and an entry sharing it would take the last file's hash.
py::object entry_of(py::handle sig, py::handle sha) {
    if (sig.is_none()) return py::none();
    py::dict d;
    if (PyDict_Update(d.ptr(), sig.ptr()) < 0) throw py::error_already_set();
    d["sha256"] = sha;
    return d;
}

// _hash_cache_hit for an exact dict (or None) and a native signature.
py::object native_hit(py::handle stored, const Sig& sig) {
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

py::object os_error(int err, py::handle filename) {
    PyObject* e = PyObject_CallFunction(PyExc_OSError, "isO", err, std::strerror(err), filename.ptr());
    if (!e) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(e);
}

// Pipes, sockets and device nodes are never read: a read could block for ever.
py::object not_regular() { return py::reinterpret_borrow<py::object>(PyExc_OSError)("not a regular file"); }

void warn_unreadable(py::handle local, py::handle err) {
    ns::get("logger").attr("warning")("Skipping unreadable %s: %s", local, err);
}

py::object record(py::handle rel, py::handle sha, py::handle size, py::handle mode, py::handle local, py::handle to) {
    PyObject* argv[] = {nullptr, rel.ptr(), sha.ptr(), size.ptr(), mode.ptr(), local.ptr(), to.ptr()};
    PyObject* r = PyObject_Vectorcall(ns::get("ManifestFile").ptr(), argv + 1, PY_VECTORCALL_ARGUMENTS_OFFSET,
                                      record_keywords().ptr());
    if (!r) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(r);
}

std::string fs_bytes(py::handle path) { return fspath::encode(path).bytes; }

py::str fs_name(py::handle path) { return py::str(fspath::encode(path).name); }

struct Work {
    std::size_t index;
    py::object local, rel, to, mode, sig;  // sig: dict or None
};

// _hash_one: one work item on the hash workers, through the namespace's _sha256_file.
py::tuple hash_one(py::args args, py::kwargs kwargs) {
    auto a = sig::bind("_hash_one", {{"item"}}, args, kwargs);
    args::exact_tuple(a[0], "item");
    auto v = sig::unpack(a[0], 6);
    py::object result;
    try {
        result = ns::call("_sha256_file", v[1]);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_OSError)) throw;
        warn_unreadable(v[1], e.value());
        return py::make_tuple(v[0], py::none(), py::none());
    }
    auto hs = sig::unpack(result, 2);
    py::object rec = record(v[2], hs[0], hs[1], v[4], v[1], v[3]);
    return py::make_tuple(v[0], rec, py::make_tuple(py::str(v[1]), entry_of(v[5], hs[0])));
}

// Hash pass through the namespace: inline for one worker, else a ThreadPoolExecutor.
void hash_through_namespace(const std::vector<Work>& work, long long workers, std::vector<py::object>& results,
                            py::dict& fresh) {
    py::cpp_function fn(&hash_one, py::name("_hash_one"));
    py::list items;
    for (const Work& w : work) items.append(py::make_tuple(w.index, w.local, w.rel, w.to, w.mode, w.sig));
    py::list out;
    if (workers == 1) {
        for (py::handle item : items) out.append(fn(item));
    } else {
        out = pool::map(py::int_(workers), fn, items);
    }
    for (py::handle r : out) {
        auto v = sig::unpack(r, 3);
        if (v[1].is_none()) continue;
        results.at(py::cast<std::size_t>(v[0])) = v[1];
        if (v[2].is_none()) continue;
        auto upd = sig::unpack(v[2], 2);
        if (!upd[1].is_none()) fresh[upd[0]] = upd[1];
    }
}

// Hash pass with the module's own _sha256_file: native workers, GIL released.
void hash_natively(const std::vector<Work>& work, long long workers, std::vector<py::object>& results,
                   py::dict& fresh) {
    std::vector<hashpool::HashJob> jobs;
    std::optional<py::error_already_set> failure;
    for (const Work& w : work) {
        try {
            std::string bytes = fs_bytes(w.local);
            jobs.emplace_back().path = std::move(bytes);
        } catch (py::error_already_set& e) {
            failure = std::move(e);  // the first item _sha256_file would fail on
            break;
        }
    }
    std::size_t chunk = hash_chunk_size();
    {
        py::gil_scoped_release nogil;
        hashpool::hash_all(jobs, static_cast<std::size_t>(workers), chunk);
    }
    for (std::size_t k = 0; k < jobs.size(); ++k) {
        const Work& w = work[k];
        hashpool::HashJob& j = jobs[k];
        if (j.error) {
            // As the interpreter reports them: a failed open names the file, a failed read does not.
            py::object name = j.read_error ? py::none() : py::object(fs_name(w.local));
            warn_unreadable(w.local, os_error(j.error, name));
            continue;
        }
        py::str sha(j.hex);
        results[w.index] = record(w.rel, sha, py::int_(j.bytes), w.mode, w.local, w.to);
        py::object entry = entry_of(w.sig, sha);
        if (!entry.is_none()) fresh[py::str(w.local)] = entry;
    }
    if (failure) throw std::move(*failure);
}

py::list resolve_manifest_files(py::args args, py::kwargs kwargs) {
    auto a = sig::bind("_resolve_manifest_files", {{"pending"}, {"root"}}, args, kwargs);
    args::exact_list(a[0], "pending");
    py::list pending = a[0];
    py::object cache_path = ns::call("_hash_cache_path", a[1]);
    py::object cache = ns::call("_load_hash_cache", cache_path);

    const std::size_t n = static_cast<std::size_t>(PyList_GET_SIZE(pending.ptr()));
    std::vector<py::object> results(n);
    py::dict fresh;
    std::vector<Work> to_hash;

    // Items are unpacked and, where the module's own stat and signature apply, stat'ed
    // natively in one batch; the outcomes are then taken in pending order.
    const bool own_sig = ns::get("_stat_signature").ptr() == g_stat_signature &&
                         ns::get("_hash_cache_hit").ptr() == g_hash_cache_hit;
    const bool own_stat = own_sig && py::handle(g_posix_path).attr("stat").ptr() == g_path_stat;
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
        if (own_stat && Py_IS_TYPE(it.v[0].ptr(), reinterpret_cast<PyTypeObject*>(g_posix_path))) {
            it.key = py::str(it.v[0]);
            try {
                std::string bytes = fs_bytes(it.key);
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
        errors::ignore_errors([&] { threads = static_cast<std::size_t>(std::max(1LL, ns::get_int("UPLOAD_HASH_WORKERS"))); });
        py::gil_scoped_release nogil;
        hashpool::stat_all(stats, threads);
    }

    for (std::size_t i = 0; i < items.size(); ++i) {
        Item& it = items[i];
        py::object local = it.v[0], rel = it.v[1], to = it.v[2];
        py::object st, mode, sig, sha, size;
        Sig native;
        if (it.job >= 0) {
            hashpool::StatJob& job = stats[static_cast<std::size_t>(it.job)];
            if (job.error) {
                warn_unreadable(local, os_error(job.error, it.key));
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
            PyObject* m = PyNumber_And(st.attr("st_mode").ptr(), py::int_(0777).ptr());
            if (!m) throw py::error_already_set();
            mode = py::reinterpret_steal<py::object>(m);
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

    if (!to_hash.empty()) {
        long long workers = std::max<long long>(1, std::min<long long>(ns::get_int("UPLOAD_HASH_WORKERS"),
                                                                        static_cast<long long>(to_hash.size())));
        if (ns::get("_sha256_file").ptr() == g_sha256_file)
            hash_natively(to_hash, workers, results, fresh);
        else
            hash_through_namespace(to_hash, workers, results, fresh);
    }

    py::list files;
    for (py::object& r : results)
        if (r) files.append(r);

    if (ns::get_bool("HASH_CACHE_ENABLED")) {
        errors::ignore_errors([&] {
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
    g_stat_signature = ns::get("_stat_signature").release().ptr();
    g_hash_cache_hit = ns::get("_hash_cache_hit").release().ptr();
    g_sha256_file = ns::get("_sha256_file").release().ptr();
    py::object pathlib = ns::import("pathlib");
    g_posix_path = py::object(pathlib.attr("PosixPath")).release().ptr();
    g_path_stat = py::object(pathlib.attr("Path").attr("stat")).release().ptr();
    m.def("_resolve_manifest_files", &resolve_manifest_files);
}

}  // namespace brivel::workspace
