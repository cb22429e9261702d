#include "workspace/manifest/hash_pass.hpp"

#include <algorithm>
#include <optional>
#include <string>

#include "common/args.hpp"
#include "common/errors.hpp"
#include "common/fspath.hpp"
#include "common/interrupt.hpp"
#include "common/ns.hpp"
#include "common/pool.hpp"
#include "common/signature.hpp"
#include "core/hashpool.hpp"
#include "workspace/manifest/hashing.hpp"
#include "workspace/state.hpp"

namespace brivel::workspace {

py::object record(py::handle rel, py::handle sha, py::handle size, py::handle mode, py::handle local, py::handle to) {
    PyObject* argv[] = {nullptr, rel.ptr(), sha.ptr(), size.ptr(), mode.ptr(), local.ptr(), to.ptr()};
    py::object cls = ns::get("ManifestFile");
    const ModuleState& mod = state();
    if (mod.manifest_file.applies(cls)) return mod.manifest_file.make(argv + 1);
    return steal_or_throw(PyObject_Vectorcall(cls.ptr(), argv + 1, PY_VECTORCALL_ARGUMENTS_OFFSET,
                                              mod.record_keywords.ptr()));
}

void warn_unreadable(py::handle local, py::handle err) {
    ns::get("logger").attr("warning")("Skipping unreadable %s: %s", local, err);
}

py::object not_regular() { return py::reinterpret_borrow<py::object>(PyExc_OSError)("not a regular file"); }

namespace {

// _hash_one: one work item on the hash workers, through the namespace's _sha256_file.
py::tuple hash_one(py::args call_args, py::kwargs call_kwargs) {
    auto a = sig::bind("_hash_one", {{"item"}}, call_args, call_kwargs);
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
void hash_through_namespace(const std::vector<HashWork>& work, long long workers, std::vector<py::object>& results,
                            FreshEntries& fresh) {
    py::cpp_function fn(&hash_one, py::name("_hash_one"));
    py::list items;
    for (const HashWork& w : work)
        items.append(py::make_tuple(w.index, w.local, w.rel, w.to, w.mode, w.native ? signature_dict(*w.native) : w.stat_sig));
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
        fresh.add(upd[0], upd[1]);
    }
}

// Hash pass with the module's own _sha256_file: native workers, GIL released.
void hash_natively(const std::vector<HashWork>& work, long long workers, std::vector<py::object>& results,
                   FreshEntries& fresh) {
    std::vector<hashpool::HashJob> jobs;
    std::optional<py::error_already_set> failure;
    for (const HashWork& w : work) {
        try {
            std::string bytes = fspath::encode(w.local).bytes;
            jobs.emplace_back().path = std::move(bytes);
        } catch (py::error_already_set& e) {
            failure = std::move(e);  // the first item _sha256_file would fail on
            break;
        }
    }
    std::size_t chunk = hash_chunk_size();
    // A Ctrl-C (or any error of a signal handler) breaks off the files being hashed and
    // stops the others.
    interrupt::run([&](const cancel::Token& stop) {
        hashpool::hash_all(jobs, static_cast<std::size_t>(workers), chunk, &stop);
    });
    for (std::size_t k = 0; k < jobs.size(); ++k) {
        const HashWork& w = work[k];
        hashpool::HashJob& j = jobs[k];
        if (j.error) {
            // As the interpreter reports them: a failed open names the file, a failed read does not.
            py::object name = j.read_error ? py::none() : py::object(py::str(fspath::encode(w.local).name));
            warn_unreadable(w.local, errors::os_error(j.error, name));
            continue;
        }
        py::str sha(j.hex);
        results[w.index] = record(w.rel, sha, py::int_(j.bytes), w.mode, w.local, w.to);
        if (w.native)
            fresh.add(py::str(w.local), *w.native, sha);
        else
            fresh.add(py::str(w.local), entry_of(w.stat_sig, sha));
    }
    if (failure) throw std::move(*failure);
}

}  // namespace

void hash_pass(const std::vector<HashWork>& work, std::vector<py::object>& results, FreshEntries& fresh) {
    if (work.empty()) return;
    long long workers = std::max<long long>(
        1, std::min<long long>(ns::get_int("UPLOAD_HASH_WORKERS"), static_cast<long long>(work.size())));
    if (own("_sha256_file", state().sha256_file))
        hash_natively(work, workers, results, fresh);
    else
        hash_through_namespace(work, workers, results, fresh);
}

}  // namespace brivel::workspace
