#include "workspace/sync/download.hpp"

#include <atomic>
#include <memory>

#include "common/args.hpp"
#include "common/errors.hpp"
#include "common/fspath.hpp"
#include "common/ns.hpp"
#include "common/pool.hpp"
#include "common/signature.hpp"
#include "workspace/sync/extract.hpp"
#include "workspace/transfer/client.hpp"

namespace brivel::workspace {
namespace {

using namespace pybind11::literals;

// State of one download_outputs call, shared by its worker threads (all under the GIL).
struct Call {
    py::object client;
    py::object output_dir;
    py::object on_file;
    py::object total;
    py::list results;
    std::atomic<long long> done{0};
};
using CallPtr = std::shared_ptr<Call>;

void progress(Call& c, py::handle art) {
    if (c.on_file.is_none()) return;
    long long n = ++c.done;
    errors::best_effort([&] { c.on_file(art, n, c.total); });
}

// The outputs manifest comes from the server: a destination (or its .part) that resolves
// outside the output directory, or the current directory without one, is refused before
// anything is created for it.
void confine(const Call& c, py::handle save_to, py::handle target, py::handle part) {
    py::object base = args::truthy(c.output_dir) ? c.output_dir : ns::get("Path").attr("cwd")();
    py::object root = call_method(base, "resolve");
    for (py::handle p : {target, part}) {
        py::object real = call_method(p, "resolve");
        if (!args::truthy(real.attr("is_relative_to")(root)))
            raise_unsafe("Unsafe output destination (outside the output directory): ", save_to);
    }
}

void discard(py::handle path) {
    errors::best_effort([&] { path.attr("unlink")(); });
}

py::object digest_of(py::handle part) { return ns::call("_sha256_file", part)[py::int_(0)]; }

[[noreturn]] void raise_mismatch(py::handle part, py::handle expected, py::handle actual, py::handle save_to) {
    discard(part);
    py::slice first12(0, 12, 1);
    py::str msg = py::str("Checksum mismatch for output {}: expected {}, got {}")
                      .format(to_str(save_to), expected[first12], actual[first12]);
    PyErr_SetObject(PyExc_RuntimeError, msg.ptr());
    throw py::error_already_set();
}

bool has_bytes(py::handle path) {
    return args::truthy(call_method(path, "exists")) &&
           py::int_(0) < call_method(path, "stat").attr("st_size");
}

void one(const CallPtr& c, py::object idx, py::object art) {
    args::exact_dict(art, "art");
    py::object get = art.attr("get");
    py::object url = get("download_url");
    if (!args::truthy(url)) return;
    py::object save_to = get("save_to");
    if (!args::truthy(save_to)) save_to = get("relpath");
    py::object target = args::truthy(c->output_dir) ? divide(c->output_dir, save_to) : ns::get("Path")(save_to);
    py::object parent = target.attr("parent");
    py::object part = divide(parent, concat(target.attr("name"), py::str(".part")));
    confine(*c, save_to, target, part);
    parent.attr("mkdir")("parents"_a = true, "exist_ok"_a = true);

    // A leftover .part may come from another object: when the result does not verify, it
    // is fetched once more from byte zero before the mismatch counts.
    const bool resumed = has_bytes(part);
    py::object download = c->client.attr("download_artifact_to_file");
    download(url, part);
    py::object expected = get("sha256");
    if (args::truthy(expected)) {
        py::object actual = digest_of(part);
        if (!actual.equal(expected) && resumed) {
            discard(part);
            download(url, part);
            actual = digest_of(part);
        }
        if (!actual.equal(expected)) raise_mismatch(part, expected, actual, save_to);
    }
    if (args::truthy(get("is_directory"))) {
        ns::call("_extract_output_zip", part, target);
        discard(part);
    } else {
        // One rename within the directory: the destination is never seen half-written.
        ns::get("os").attr("replace")(part, target);
    }
    c->results[idx] = target;
    progress(*c, art);
}

// The output directory as a Path, given as one, as a str or as any os.PathLike (as
// Workspace.root and Upload.local are); None (or empty) for the current directory.
py::object output_directory(py::handle given) {
    if (!given || !args::truthy(given)) return py::none();
    py::object path_cls = ns::get("Path");
    if (py::isinstance(given, path_cls)) return py::reinterpret_borrow<py::object>(given);
    return path_cls(fspath::text(given, "output_dir"));
}

py::object download_outputs(const sig::Bound& a) {
    py::object job_id = a[0], client = a[1];
    args::exact_str(job_id, "job_id");
    py::object output_dir = output_directory(a[2]);
    py::object max_workers = a[4] ? args::to_int(a[4], "max_workers", true) : py::none();
    ns::import("concurrent.futures");
    ns::import("threading");

    py::object data = client.attr("get_outputs_manifest")(job_id);
    py::object artifacts = data.attr("get")("artifacts", py::list());
    artifacts = args::truthy(artifacts) ? args::expect(artifacts, &PyList_Type) : py::list();

    auto c = std::make_shared<Call>();
    c->client = client;
    c->output_dir = output_dir;
    c->on_file = a[3] ? a[3] : py::none();
    const Py_ssize_t total = PyList_GET_SIZE(artifacts.ptr());
    c->total = py::int_(total);
    c->results = py::list(total);
    for (Py_ssize_t i = 0; i < total; ++i) c->results[i] = py::none();

    if (total > 0) {
        py::object workers = args::truthy(max_workers) ? max_workers : ns::get("OUTPUT_DOWNLOAD_FANOUT");
        if (c->total < workers) workers = c->total;
        if (workers < py::int_(1)) workers = py::int_(1);
        py::cpp_function task([c](py::object idx, py::object art) { one(c, idx, art); }, py::name("_one"),
                              py::arg("idx"), py::arg("art"));
        pool::run(workers, [&](pool::Pool& p) {
            for (Py_ssize_t i = 0; i < total; ++i) p.submit(task, py::int_(i), artifacts[py::int_(i)]);
        }, break_off_requests(c->client));
    }
    // Reached only when every artifact is in place: a failure above leaves them unacknowledged.
    errors::best_effort([&] { client.attr("ack_outputs")(job_id); });
    py::list placed;
    for (py::handle r : c->results)
        if (!r.is_none()) placed.append(r);
    return placed;
}

constexpr const char* kDoc =
    "Downloads the outputs of job `job_id` through the WorkspaceClient `client`, in parallel\n"
    "(`max_workers`, default OUTPUT_DOWNLOAD_FANOUT), each into a `.part` file beside its\n"
    "destination below `output_dir` (a str or os.PathLike; default: the current directory),\n"
    "verifies its SHA-256, unpacks zipped directories, and acknowledges the outputs once all\n"
    "are in place. Returns the destination paths in manifest order; raises the first failure\n"
    "(RuntimeError for a checksum mismatch or an unsafe destination or archive entry, OSError\n"
    "\"Not a regular file\" for a pipe or device where a file would be written), after which\n"
    "nothing is acknowledged.\n\n"
    "on_file(artifact: dict, done: int, total: int) -> None is called for each artifact placed,\n"
    "with its entry of the outputs manifest, the count reported so far (from 1) and the number\n"
    "of artifacts; it runs on the download threads, and an Exception it raises is ignored.";

}  // namespace

void define_download_outputs(py::module_& m) {
    sig::def(m, "download_outputs",
             {sig::arg("job_id"), sig::arg("client"), sig::kw("output_dir", "None"), sig::kw("on_file", "None"),
              sig::kw("max_workers", "None")},
             kDoc, &download_outputs);
}

}  // namespace brivel::workspace
