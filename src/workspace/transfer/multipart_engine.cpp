// The resumable multipart upload of one file: limits, the journal's upload taken over or a
// new one created, the in-flight depth sized from the memory budget (optionally adaptive),
// the part dispatch, then completion, or an abort after a failure. An upload the server no
// longer knows is started once more from scratch.
#include <string>
#include <vector>

#include "common/args.hpp"
#include "common/errors.hpp"
#include "common/interrupt.hpp"
#include "common/ns.hpp"
#include "common/pyclass.hpp"
#include "common/signature.hpp"
#include "core/multipart.hpp"
#include "workspace/state.hpp"
#include "workspace/transfer/client.hpp"
#include "workspace/transfer/file_stream.hpp"
#include "workspace/transfer/multipart_attempt.hpp"
#include "workspace/transfer/part_put.hpp"

namespace brivel::workspace {
namespace {

using namespace pybind11::literals;

// `outer`, raised while `inner` was being handled, carries it as its context, as a raise
// inside an except block would.
void chain(py::error_already_set& outer, const py::error_already_set& inner) {
    PyObject* o = outer.value().ptr();
    if (o == inner.value().ptr()) return;
    if (py::reinterpret_steal<py::object>(PyException_GetContext(o))) return;  // it has one already
    PyException_SetContext(o, inner.value().inc_ref().ptr());  // steals the reference
}

py::object item(py::handle mapping, const char* key) { return steal_or_throw(PyObject_GetItem(mapping.ptr(), py::str(key).ptr())); }

void unlink_journal(const py::object& journal) {
    errors::best_effort([&] { journal.attr("unlink")(); });
}

// Arguments shared by the entry and one attempt, checked and converted in parameter order.
struct Request {
    py::object sha, path, size, part_size, endpoints;
    py::bool_ checksum_parts{false};
    py::object concurrency = py::int_(1);
};

void check_common(Request& r, const std::vector<py::object>& v) {
    args::exact_str(v[0], "sha");
    r.sha = v[0];
    r.path = v[1];
    r.size = args::to_int(v[2], "size");
    r.part_size = args::to_int(v[3], "part_size");
    args::exact_dict(v[4], "endpoints");
    r.endpoints = v[4];
}

void check_limits(const Request& r, const py::object& total_parts) {
    py::object name = r.path.attr("name");
    py::object max_parts = ns::get("MULTIPART_MAX_PARTS");
    if (total_parts > max_parts) {
        py::object mib = steal_or_throw(PyNumber_TrueDivide(r.part_size.ptr(), py::int_(1048576).ptr()));
        py::str msg = py::str("{} needs {} parts at {:.0f} MiB/part, over the {}-part limit. Raise "
                              "PORTVEL_MULTIPART_PART_SIZE_BYTES (and PORTVEL_UPLOAD_MEMORY_BUDGET_BYTES to match) "
                              "or split the file.")
                          .format(name, total_parts, mib, max_parts);
        throw py::value_error(msg);
    }
    py::object max_bytes = ns::get("R2_MAX_OBJECT_BYTES");
    if (r.size > max_bytes) {
        py::int_ tib(1099511627776LL);
        py::str msg = py::str("{} is {:.2f} TiB, over the {:.3f} TiB R2 single-object limit. Split the file into "
                              "smaller objects.")
                          .format(name, divide(r.size, tib),
                                  divide(max_bytes, tib));
        throw py::value_error(msg);
    }
}

struct FileStamp {
    py::object size, mtime_ns;
};

FileStamp stamp(const py::object& path) {
    py::object st = ns::get("os").attr("stat")(path);
    return {st.attr("st_size"), st.attr("st_mtime_ns")};
}

// The journal's upload and parts, when the journal matches this upload; any problem means
// no journal, and a new upload is created.
void resume(Attempt& at) {
    bool ok = false;
    errors::best_effort([&] {
        auto state = sig::unpack(ns::call("_read_journal_state", at.journal), 2);
        py::object header = state[0];
        if (header.is_none()) return;
        py::object get = header.attr("get");
        if (!get("part_size").equal(py::int_(at.part_size))) return;
        if (args::truthy(get("checksum_parts", false)) != at.checksum_parts) return;
        if (!args::truthy(get("upload_id"))) return;
        at.upload_id = args::expect(item(header, "upload_id"), &PyUnicode_Type);
        for (py::handle rec : state[1]) {
            py::object ck = rec.attr("get")("checksum");
            if (at.checksum_parts && !args::truthy(ck)) continue;  // sent again, with its checksum
            py::object etag = item(rec, "etag");
            py::object pn = to_int(item(rec, "part"));
            at.completed[pn] = etag;
            if (args::truthy(ck)) at.checksums[pn] = ck;
        }
        ok = true;
    });
    if (!ok) {
        at.upload_id = py::none();
        at.completed = py::dict();
        at.checksums = py::dict();
    }
}

// The depth controller class, imported only when the adaptive depth applies.
py::object depth_controller_class() {
    py::object mod = ns::import("brivel._flowtune");
    PyObject* cls = PyObject_GetAttrString(mod.ptr(), "DepthController");
    if (!cls) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
        PyErr_Clear();
        PyErr_SetString(PyExc_ImportError, "cannot import name 'DepthController' from 'brivel._flowtune'");
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::object>(cls);
}

void plan_dispatch(Attempt& at, const py::object& concurrency, long long total_parts) {
    multipart::DepthSettings s;
    s.budget = ns::get_int("UPLOAD_MEMORY_BUDGET_BYTES");
    s.concurrency = py::cast<long long>(concurrency);
    s.part_size = at.part_size;
    s.small_part_bytes = ns::get_int("UPLOAD_SMALL_PART_BYTES");
    s.depth_small = ns::get_int("UPLOAD_TARGET_INFLIGHT_PARTS_SMALL");
    s.depth_large = ns::get_int("UPLOAD_TARGET_INFLIGHT_PARTS");
    s.adaptive = ns::get_bool("_UPLOAD_ADAPTIVE");
    s.socket_ceiling = ns::get_int("_UPLOAD_SOCKET_CEILING");
    s.total_parts = total_parts;
    multipart::Depth d = multipart::plan_depth(s);
    at.max_inflight = d.max_inflight;
    at.pool_workers = d.pool_workers;
    at.ctrl = py::none();
    if (d.controller) at.ctrl = depth_controller_class()("floor"_a = d.max_inflight, "cap"_a = d.cap);
}

py::list completion_parts(const Attempt& at, long long total_parts) {
    py::list parts;
    for (long long n = 1; n <= total_parts; ++n) {
        py::int_ pn(n);
        py::dict p;
        p["PartNumber"] = pn;
        p["ETag"] = at.completed[pn];
        if (at.checksum_parts && at.checksums.contains(pn)) p["ChecksumSHA256"] = at.checksums[pn];
        parts.append(p);
    }
    return parts;
}

void multipart_attempt(py::object self, const sig::Bound& v) {
    Request r;
    check_common(r, v);
    const bool force_fresh = v[6] && args::truthy(v[6]);
    r.checksum_parts = py::bool_(v[7] && args::truthy(v[7]));
    if (v[8]) r.concurrency = args::to_int(v[8], "concurrency");
    py::object journal = v[5];

    // Limits: nothing is sent for a file the store cannot take.
    py::object total = steal_or_throw(PyNumber_FloorDivide((r.size + r.part_size - py::int_(1)).ptr(), r.part_size.ptr()));
    if (total < py::int_(1)) total = py::int_(1);
    if (r.part_size < py::int_(0)) {
        PyErr_Format(PyExc_ValueError, "part_size must be a positive byte count, got %S", r.part_size.ptr());
        throw py::error_already_set();
    }
    check_limits(r, total);
    const long long total_parts = py::cast<long long>(total);

    // The file must still be what the manifest described: a file that changed since would
    // otherwise be stored under a content hash that does not name its bytes.
    const FileStamp before = stamp(r.path);
    if (!before.size.equal(r.size))
        raise_changed_file(r.path, "size " + py::str(before.size).cast<std::string>() + ", expected " +
                                       py::str(r.size).cast<std::string>());

    auto at = std::make_shared<Attempt>();
    at->client = self;
    at->sha = r.sha;
    at->path = r.path;
    at->file = fspath::encode(r.path);
    at->size = py::cast<long long>(r.size);
    at->part_size = py::cast<long long>(r.part_size);
    at->checksum_parts = static_cast<bool>(r.checksum_parts);
    at->journal = journal;
    at->upload_id = py::none();

    if (!force_fresh && args::truthy(journal.attr("exists")())) resume(*at);
    if (at->upload_id.is_none()) {
        py::object created = self.attr("multipart_create")(item(r.endpoints, "create_endpoint"), r.sha);
        if (args::truthy(created.attr("get")("skip"))) return;  // the store has it already
        at->upload_id = args::expect(item(created, "upload_id"), &PyUnicode_Type);
        at->completed = py::dict();
        at->checksums = py::dict();
    }
    std::vector<long long> missing;
    for (long long n = 1; n <= total_parts; ++n)
        if (!at->completed.contains(py::int_(n))) missing.push_back(n);
    at->jlock = ns::get("threading").attr("Lock")();
    plan_dispatch(*at, r.concurrency, total_parts);
    at->presign_ep = item(r.endpoints, "presign_parts_endpoint");
    at->write_journal_header();

    try {
        at->dispatch(missing);
        py::list parts = completion_parts(*at, total_parts);
        const FileStamp after = stamp(r.path);
        if (!after.size.equal(before.size) || !after.mtime_ns.equal(before.mtime_ns))
            raise_changed_file(r.path, "size or modification time changed while its parts were sent");
        self.attr("multipart_complete")(item(r.endpoints, "complete_endpoint"), r.sha, at->upload_id, parts);
        unlink_journal(journal);
    } catch (py::error_already_set& e) {
        // An interrupt keeps the journal for a resume, and sends nothing more.
        if (!errors::ordinary(e) || interrupt::stopped()) throw;
        try {
            self.attr("multipart_abort")(item(r.endpoints, "abort_endpoint"), r.sha, at->upload_id);
        } catch (py::error_already_set& e2) {
            chain(e2, e);
            throw;
        }
        unlink_journal(journal);
        throw;
    }
}

void upload_blob_multipart(py::object self, const sig::Bound& v) {
    Request r;
    check_common(r, v);
    r.checksum_parts = py::bool_(v[5] && args::truthy(v[5]));
    if (v[6]) r.concurrency = args::to_int(v[6], "concurrency");
    py::object journal = ns::call("_upload_journal_dir").attr("__truediv__")(r.sha + py::str(".json"));
    auto run = [&](bool fresh) {
        if (fresh)
            self.attr("_multipart_attempt")(r.sha, r.path, r.size, r.part_size, r.endpoints, journal,
                                            "force_fresh"_a = true, "checksum_parts"_a = r.checksum_parts,
                                            "concurrency"_a = r.concurrency);
        else
            self.attr("_multipart_attempt")(r.sha, r.path, r.size, r.part_size, r.endpoints, journal,
                                            "checksum_parts"_a = r.checksum_parts, "concurrency"_a = r.concurrency);
    };
    try {
        run(false);
    } catch (py::error_already_set& e) {
        if (!errors::ordinary(e) || !args::truthy(ns::call("_is_no_such_upload", e.value()))) throw;
        // The server forgot the upload: its journal is worthless, and one fresh upload is made.
        unlink_journal(journal);
        try {
            run(true);
        } catch (py::error_already_set& e2) {
            chain(e2, e);
            throw;
        }
    }
}

}  // namespace

void bind_multipart_engine(py::handle cls) {
    define_part_body();
    sig::method(cls, "upload_blob_multipart", {sig::arg("sha"), sig::arg("path"), sig::arg("size"), sig::arg("part_size"), sig::arg("endpoints"),
                 sig::kw("checksum_parts", "False"), sig::kw("concurrency", "1")},
                "Stores the file `path` (`size` bytes, content hash `sha`) as a resumable multipart\n"
                "upload through the job-API paths in `endpoints` (create_endpoint,\n"
                "presign_parts_endpoint, complete_endpoint, abort_endpoint), in parts of `part_size`\n"
                "bytes, each with its SHA-256 when `checksum_parts`. `concurrency` is the number of\n"
                "uploads sharing UPLOAD_MEMORY_BUDGET_BYTES. A journal in the cache directory lets a\n"
                "later call send only the missing parts. Raises ValueError over the part or size\n"
                "limits, RuntimeError when the file changed, and the HTTP client's errors; a failed\n"
                "upload is aborted, and one the server no longer knows is restarted once.", &upload_blob_multipart);
    sig::method(cls, "_multipart_attempt", {sig::arg("sha"), sig::arg("path"), sig::arg("size"), sig::arg("part_size"), sig::arg("endpoints"),
                 sig::arg("journal"), sig::kw("force_fresh", "False"), sig::kw("checksum_parts", "False"),
                 sig::kw("concurrency", "1")},
                "One attempt of upload_blob_multipart with the journal file `journal`;\n"
                "`force_fresh` ignores the journal and creates a new upload.", &multipart_attempt);
    sig::method(cls, "_put_part_bytes", {sig::arg("url"), sig::arg("data"), sig::kw("checksum_b64", "None"), sig::kw("remint", "None")},
                "PUTs one part's bytes to a presigned URL and returns its ETag without quotes. An\n"
                "ETag of 32 hex digits must be the MD5 of `data` (else RuntimeError, retried). An\n"
                "expired URL is replaced through `remint()`; transient failures are retried after\n"
                "a pause, up to UPLOAD_MAX_RETRIES attempts (at least one).", &put_part_bytes);
    state().put_part_bytes = py::getattr(cls, "_put_part_bytes");
}

}  // namespace brivel::workspace
