#include "workspace/config.hpp"

#include "common/args.hpp"
#include "common/env.hpp"
#include "common/ns.hpp"
#include "workspace/manifest/ignore.hpp"

namespace brivel::workspace {
namespace {

const char* const kStdModules[] = {"dataclasses", "fnmatch", "hashlib", "inspect", "logging",
                                    "os", "re", "sys", "threading"};

const char* const kPublic[] = {"DEFAULT_IGNORE_PATTERNS", "DEFAULT_MAX_BYTES", "WARN_BYTES",
                               "Upload", "Output", "Workspace", "BuiltManifest", "ManifestFile",
                               "WorkspaceClient", "WorkspaceTooLargeError", "build_manifest",
                               "detect_project_root", "download_outputs", "load_gitignore",
                               "matches_ignore", "upload_workspace"};

constexpr char kWinAbsPathPattern[] = R"(['"]([A-Za-z]:[\\/][A-Za-z0-9_. \-/\\]{1,256})['"])";

// Off only for these exact texts; any other text is on and never fails.
bool switch_on(const char* var) {
    py::object text = env::text(var, py::str("1"));
    for (const char* off : {"0", "false", "False", ""})
        if (text.equal(py::str(off))) return false;
    return true;
}

py::object pymin(py::handle a, py::handle b) { return b < a ? py::reinterpret_borrow<py::object>(b) : py::reinterpret_borrow<py::object>(a); }
py::object pymax(py::handle a, py::handle b) { return a < b ? py::reinterpret_borrow<py::object>(b) : py::reinterpret_borrow<py::object>(a); }

py::object floordiv(py::handle a, py::handle b) {
    return steal_or_throw(PyNumber_FloorDivide(a.ptr(), b.ptr()));
}

py::object hash_workers_default() {
    py::object n = ns::get("os").attr("cpu_count")();
    if (n.is_none() || !args::truthy(n)) n = py::int_(4);
    return py::str(pymin(n, py::int_(8)));
}

// Connection limits are fixed at import: rebinding their inputs later does not move them.
void derive_transfer_pool_connections() {
    auto c = [](const char* name) { return ns::get(name); };
    py::object inflight = pymax(c("UPLOAD_TARGET_INFLIGHT_PARTS"), c("UPLOAD_TARGET_INFLIGHT_PARTS_SMALL"));
    py::object by_parts = c("UPLOAD_LARGE_FILE_CONCURRENCY") * inflight;
    py::object by_budget = floordiv(c("UPLOAD_MEMORY_BUDGET_BYTES"), pymax(c("MULTIPART_PART_SIZE_BYTES"), py::int_(1)));
    py::object total = c("UPLOAD_SMALL_FANOUT") + pymax(by_parts, by_budget) + py::int_(8);
    ns::set("_TRANSFER_POOL_CONNECTIONS", pymin(total, py::int_(512)));
}

}  // namespace

void define_config(py::module_&) {
    for (const char* name : kStdModules) ns::set(name, ns::import(name));
    py::object dataclasses = ns::get("dataclasses");
    ns::set("dataclass", dataclasses.attr("dataclass"));
    ns::set("field", dataclasses.attr("field"));
    ns::set("Path", ns::import("pathlib").attr("Path"));
    py::object typing = ns::import("typing");
    for (const char* name : {"Any", "Callable", "Iterable", "Optional", "Union"}) ns::set(name, typing.attr(name));
    ns::set("httpx", ns::import("httpx"));
    ns::set("logger", ns::get("logging").attr("getLogger")("brivel.workspace"));
    ns::set("_WIN_ABS_PATH_RE", ns::get("re").attr("compile")(kWinAbsPathPattern));

    ns::set("DEFAULT_IGNORE_PATTERNS", default_ignore_patterns());
    ns::set("DEFAULT_MAX_BYTES", py::int_(5368709120LL));
    ns::set("WARN_BYTES", py::int_(104857600LL));
    ns::set("CHUNK_SIZE", py::int_(1048576));

    env::read_int("MULTIPART_THRESHOLD_BYTES", "PORTVEL_MULTIPART_THRESHOLD_BYTES", py::str("134217728"));
    env::read_int("MULTIPART_PART_SIZE_BYTES", "PORTVEL_MULTIPART_PART_SIZE_BYTES", py::str("16777216"));
    ns::set("MULTIPART_MAX_PARTS", py::int_(10000));

    env::read_int("R2_MAX_OBJECT_BYTES", "PORTVEL_R2_MAX_OBJECT_BYTES", py::str("5492060580741"));
    env::read_int("UPLOAD_SMALL_FANOUT", "PORTVEL_UPLOAD_SMALL_FANOUT", py::str("64"));
    env::read_int("UPLOAD_MEMORY_BUDGET_BYTES", "PORTVEL_UPLOAD_MEMORY_BUDGET_BYTES", py::str("1073741824"));
    env::read_int("UPLOAD_TARGET_INFLIGHT_PARTS", "PORTVEL_UPLOAD_TARGET_INFLIGHT_PARTS", py::str("16"));
    env::read_int("UPLOAD_TARGET_INFLIGHT_PARTS_SMALL", "PORTVEL_UPLOAD_TARGET_INFLIGHT_PARTS_SMALL",
             py::str(ns::get("UPLOAD_TARGET_INFLIGHT_PARTS")));
    env::read_int("UPLOAD_SMALL_PART_BYTES", "PORTVEL_UPLOAD_SMALL_PART_BYTES", py::str("33554432"));
    env::read_int("UPLOAD_LARGE_FILE_CONCURRENCY", "PORTVEL_UPLOAD_LARGE_FILE_CONCURRENCY", py::str("3"));
    env::read_int("UPLOAD_MAX_RETRIES", "PORTVEL_UPLOAD_MAX_RETRIES", py::str("5"));
    env::read_int("OUTPUT_DOWNLOAD_FANOUT", "PORTVEL_OUTPUT_DOWNLOAD_FANOUT", py::str("8"));
    env::read_int("_DOWNLOAD_CHUNK_BYTES", "PORTVEL_DOWNLOAD_CHUNK_BYTES", py::str("8388608"));
    env::read_int("UPLOAD_HASH_WORKERS", "PORTVEL_HASH_WORKERS", hash_workers_default());

    ns::set("HASH_CACHE_ENABLED", py::bool_(switch_on("PORTVEL_HASH_CACHE")));
    derive_transfer_pool_connections();
    ns::set("_UPLOAD_ADAPTIVE", py::bool_(switch_on("PORTVEL_UPLOAD_ADAPTIVE")));
    ns::set("_UPLOAD_SOCKET_CEILING", pymin(ns::get("_TRANSFER_POOL_CONNECTIONS"), py::int_(256)));
}

void define_all(py::module_&) {
    py::list all;
    for (const char* name : kPublic) all.append(name);
    ns::set("__all__", all);
}

}  // namespace brivel::workspace
