#include "workspace/sync/upload.hpp"

#include <algorithm>
#include <atomic>
#include <memory>
#include <utility>
#include <vector>

#include "common/args.hpp"
#include "common/errors.hpp"
#include "common/ns.hpp"
#include "common/pool.hpp"
#include "common/signature.hpp"
#include "core/multipart.hpp"
#include "workspace/transfer/client.hpp"

namespace brivel::workspace {
namespace {

using namespace pybind11::literals;

// Hashes per presign request; the job API refuses larger batches.
constexpr std::size_t kPresignBatch = 256;

struct Blob {
    py::object sha;
    py::object mf;    // the first ManifestFile with this content
    py::object size;  // int(mf.size or 0)
};

// What the plan says, read once and in a fixed order before anything is uploaded.
struct Plan {
    py::object put_urls;
    py::object skip;
    bool tiered = false;
    py::object threshold;
    py::object part_size;
    bool checksum_parts = false;
    py::object presign_endpoint;
    py::object mp_endpoints;
};

// State of one upload_workspace call, shared by its worker threads (all under the GIL).
struct Call {
    py::object client;
    py::object on_file;
    Plan plan;
    py::object total;
    std::atomic<long long> done{0};
    std::vector<Blob> small, large;
};
using CallPtr = std::shared_ptr<Call>;

// `value or fallback`, the plan's rule for keys a server may leave out or null.
py::object or_else(py::object value, py::object fallback) { return args::truthy(value) ? value : fallback; }

Plan read_plan(py::handle reply) {
    Plan p;
    py::object get = reply.attr("get");
    p.put_urls = args::expect(or_else(get("put_urls"), py::dict()), &PyDict_Type);
    p.skip = steal_or_throw(PySet_New(or_else(get("skip"), py::tuple()).ptr()));
    py::object multipart = or_else(get("multipart"), py::dict());
    py::object protocol = to_int(or_else(get("upload_protocol"), py::int_(1)));
    py::object mget = multipart.attr("get");
    bool enabled = args::truthy(mget("enabled"));
    p.threshold = to_int(or_else(mget("threshold_bytes"), ns::get("MULTIPART_THRESHOLD_BYTES")));
    p.part_size = to_int(or_else(mget("part_size_bytes"), ns::get("MULTIPART_PART_SIZE_BYTES")));
    p.checksum_parts = args::truthy(mget("checksum_parts"));
    p.presign_endpoint = mget("presign_endpoint");
    py::dict endpoints;
    for (const char* key : {"create_endpoint", "presign_parts_endpoint", "complete_endpoint", "abort_endpoint"})
        endpoints[key] = mget(key, "");
    p.mp_endpoints = endpoints;
    p.tiered = enabled && protocol >= py::int_(2);
    return p;
}

// Blobs the server lacks, in first-appearance order; content shared by several files once.
std::vector<Blob> select_pending(py::handle built, const Plan& plan) {
    std::vector<Blob> pending;
    for (py::handle item : built.attr("unique_blobs")().attr("items")()) {
        py::object sha = item[py::int_(0)], mf = item[py::int_(1)];
        if (!contains(plan.put_urls, sha) || contains(plan.skip, sha)) continue;
        pending.push_back({sha, mf, py::none()});
    }
    return pending;
}

// One report per finished blob. The count is taken atomically (the GIL is held), the
// callback runs without any lock; its ordinary errors never fail an upload.
void progress(Call& c, py::handle mf) {
    if (c.on_file.is_none()) return;
    long long n = ++c.done;
    errors::best_effort([&] { c.on_file(mf, n, c.total); });
}

// ---- legacy road -------------------------------------------------------------------------

void run_legacy(const CallPtr& c, const std::vector<Blob>& pending, py::object max_workers) {
    py::int_ total(pending.size());
    py::object workers = max_workers < py::int_(1) ? py::int_(1) : max_workers;
    if (workers > total) workers = total;
    py::cpp_function legacy_one(
        [c](py::object item) {
            args::exact_tuple(item, "item");
            py::object sha = item[py::int_(0)], mf = item[py::int_(1)];
            c->client.attr("upload_blob")(c->plan.put_urls[sha], mf.attr("local_path"), "sha256"_a = sha);
            progress(*c, mf);
        },
        py::name("_legacy_one"), py::arg("item"));
    pool::run(workers, [&](pool::Pool& p) {
        for (const Blob& b : pending) p.submit(legacy_one, py::make_tuple(b.sha, b.mf));
    }, break_off_requests(c->client));
}

// ---- small-file tier ---------------------------------------------------------------------

// Asks for a fresh URL for one blob whose URL expired; the first URL when the reply has none.
py::object remint_one(const Call& c, const py::object& sha, const py::object& url) {
    py::list one;
    one.append(sha);
    py::object res = c.client.attr("presign_blobs")(c.plan.presign_endpoint, one);
    py::object urls = or_else(res.attr("get")("urls", py::dict()), py::dict());
    return args::expect(urls.attr("get")(sha, url), &PyUnicode_Type);
}

void small_one(const CallPtr& c, py::object sha, py::object mf, py::object url) {
    args::exact_str(sha, "sha");
    args::exact_str(url, "url", true);
    if (args::truthy(c->plan.presign_endpoint)) {
        // No URL: the server needs nothing from us for this blob.
        if (url.is_none()) return progress(*c, mf);
        py::object checksum = ns::call("_sha256_to_checksum_b64", sha);
        py::cpp_function remint([c, sha, url]() { return remint_one(*c, sha, url); }, py::name("_remint"));
        c->client.attr("upload_blob_single")(url, mf.attr("local_path"), "checksum_b64"_a = checksum,
                                             "remint"_a = remint);
    } else {
        c->client.attr("upload_blob")(c->plan.put_urls[sha], mf.attr("local_path"), "sha256"_a = sha);
    }
    progress(*c, mf);
}

// URLs of one presign batch, less the hashes the server says it already has.
py::object batch_urls(const Call& c, std::size_t begin, std::size_t end) {
    py::list shas;
    for (std::size_t i = begin; i < end; ++i) shas.append(c.small[i].sha);
    py::object res = c.client.attr("presign_blobs")(c.plan.presign_endpoint, shas);
    py::object urls = or_else(res.attr("get")("urls", py::dict()), py::dict());
    for (py::handle h : or_else(res.attr("get")("skip", py::list()), py::list())) urls.attr("pop")(h, py::none());
    return urls;
}

void run_small(const CallPtr& c) {
    long long fanout = ns::get_int("UPLOAD_SMALL_FANOUT");
    py::int_ workers(std::min<long long>(fanout, static_cast<long long>(c->small.size())));
    py::cpp_function task([c](py::object sha, py::object mf, py::object url) { small_one(c, sha, mf, url); },
                          py::name("_small_one"), py::arg("sha"), py::arg("mf"), py::arg("url"));
    pool::run(workers, [&](pool::Pool& p) {
        const std::size_t n = c->small.size();
        if (!args::truthy(c->plan.presign_endpoint)) {
            for (const Blob& b : c->small) p.submit(task, b.sha, b.mf, py::none());
            return;
        }
        // Batches are presigned back to back while the workers upload the earlier ones.
        for (std::size_t i = 0; i < n; i += kPresignBatch) {
            std::size_t end = std::min(n, i + kPresignBatch);
            py::object urls = batch_urls(*c, i, end);
            for (std::size_t j = i; j < end; ++j) {
                const Blob& b = c->small[j];
                p.submit(task, b.sha, b.mf, urls.attr("get")(b.sha));
            }
        }
    }, break_off_requests(c->client));
}

// ---- large-file tier ---------------------------------------------------------------------

// Several large files upload at once, each as a resumable multipart upload; they share
// the memory budget, and each is told how many share it.
void run_large(const CallPtr& c) {
    long long conc = multipart::large_file_concurrency(
        ns::get_int("UPLOAD_MEMORY_BUDGET_BYTES"), py::cast<long long>(c->plan.part_size),
        ns::get_int("UPLOAD_LARGE_FILE_CONCURRENCY"), static_cast<long long>(c->large.size()));
    py::int_ large_conc(conc);
    py::cpp_function large_one(
        [c, large_conc](py::object item) {
            args::exact_tuple(item, "item");
            auto pair = sig::unpack(item, 2);
            py::object sha = pair[0], mf = pair[1];
            py::object size = to_int(or_else(mf.attr("size"), py::int_(0)));
            c->client.attr("upload_blob_multipart")(sha, mf.attr("local_path"), size, c->plan.part_size,
                                                    c->plan.mp_endpoints,
                                                    "checksum_parts"_a = py::bool_(c->plan.checksum_parts),
                                                    "concurrency"_a = large_conc);
            progress(*c, mf);
        },
        py::name("_large_one"), py::arg("item"));
    pool::run(large_conc, [&](pool::Pool& p) {
        for (const Blob& b : c->large) p.submit(large_one, py::make_tuple(b.sha, b.mf));
    }, break_off_requests(c->client));
}

// ---- driver ------------------------------------------------------------------------------

void sort_largest_first(std::vector<Blob>& blobs) {
    std::stable_sort(blobs.begin(), blobs.end(), [](const Blob& a, const Blob& b) { return a.size > b.size; });
}

void run_tiers(const CallPtr& c, std::vector<Blob>& pending) {
    for (Blob& b : pending) {
        b.size = to_int(or_else(b.mf.attr("size"), py::int_(0)));
        (b.size <= c->plan.threshold ? c->small : c->large).push_back(b);
    }
    sort_largest_first(c->small);
    sort_largest_first(c->large);
    if (!c->small.empty() && !c->large.empty()) {
        py::cpp_function small([c]() { run_small(c); }, py::name("_run_small"));
        py::cpp_function large([c]() { run_large(c); }, py::name("_run_large"));
        pool::run(py::int_(2), [&](pool::Pool& p) {
            p.submit(small);
            p.submit(large);
        }, break_off_requests(c->client));
    } else if (!c->small.empty()) {
        run_small(c);
    } else {
        run_large(c);
    }
}

py::object upload_workspace(py::object job_id, py::object built, py::object client, py::object on_file,
                            py::object max_workers) {
    args::exact_str(job_id, "job_id");
    max_workers = args::to_int(max_workers, "max_workers");
    ns::import("concurrent.futures");
    ns::import("threading");

    py::object manifest = built.attr("to_manifest_dict")();
    py::object reply = client.attr("post_manifest")(job_id, manifest);
    auto c = std::make_shared<Call>();
    c->client = client;
    c->on_file = on_file;
    c->plan = read_plan(reply);
    std::vector<Blob> pending = select_pending(built, c->plan);
    if (pending.empty()) return client.attr("complete_uploads")(job_id);
    c->total = py::int_(pending.size());

    if (c->plan.tiered)
        run_tiers(c, pending);
    else
        run_legacy(c, pending, max_workers);
    // Reached only when every blob is stored: a failure above leaves the upload open.
    return client.attr("complete_uploads")(job_id);
}

}  // namespace

void define_upload_workspace(py::module_& m) {
    sig::def(m, "upload_workspace",
             {sig::arg("job_id"), sig::arg("built"), sig::arg("client"), sig::kw("on_file", "None"),
              sig::kw("max_workers", "8")},
             "Upload the BuiltManifest `built` of job `job_id` through the WorkspaceClient `client`:\n"
             "post the manifest, upload every blob the server lacks, then complete the upload and\n"
             "return the server's reply. `max_workers` bounds the parallel uploads when the server\n"
             "plans no tiers. The first failed upload is raised once the others have ended.\n\n"
             "on_file(manifest_file: ManifestFile, done: int, total: int) -> None is called after\n"
             "each uploaded blob, with its first ManifestFile, the count of blobs reported so far\n"
             "(1 to total) and the number of blobs to upload; it runs on the upload threads, maybe\n"
             "several at once, and an Exception it raises is ignored.",
             [](const sig::Bound& a) { return upload_workspace(a[0], a[1], a[2], a[3], a[4]); });
}

}  // namespace brivel::workspace
