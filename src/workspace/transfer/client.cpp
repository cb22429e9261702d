#include "workspace/transfer/client.hpp"

#include "common/args.hpp"
#include "common/attr.hpp"
#include "common/errors.hpp"
#include "common/lock.hpp"
#include "common/net.hpp"
#include "common/ns.hpp"
#include "common/pyclass.hpp"
#include "common/signature.hpp"
#include "workspace/transfer/download.hpp"
#include "workspace/transfer/file_stream.hpp"

namespace brivel::workspace {

using namespace pybind11::literals;

namespace {

bool is_open(py::handle pool) { return !pool.is_none() && !args::truthy(pool.attr("is_closed")); }

// Double-checked creation: the steady state is one attribute read without the lock; threads
// that all find the pool missing build exactly one and all return it.
template <class Build>
py::object lazy_pool(py::handle self, const char* attr, const char* lock_attr, Build build) {
    py::object pool = self.attr(attr);
    if (is_open(pool)) return pool;
    LockHold hold(self.attr(lock_attr));
    pool = self.attr(attr);
    if (!is_open(pool)) {
        pool = build(self);
        py::setattr(self, attr, pool);
    }
    return pool;
}

py::object build_transfer_pool(py::handle self) {
    py::object httpx = ns::get("httpx");
    py::object n = ns::get("_TRANSFER_POOL_CONNECTIONS");
    py::object limits = httpx.attr("Limits")("max_connections"_a = n, "max_keepalive_connections"_a = n,
                                             "keepalive_expiry"_a = 30.0);
    return httpx.attr("Client")("timeout"_a = self.attr("timeout"), "limits"_a = limits);
}

py::object build_api_pool(py::handle self) {
    py::object httpx = ns::get("httpx");
    py::object limits = httpx.attr("Limits")("max_connections"_a = 16, "max_keepalive_connections"_a = 8,
                                             "keepalive_expiry"_a = 4.0);
    py::object transport = httpx.attr("HTTPTransport")("retries"_a = 2);
    return httpx.attr("Client")("timeout"_a = self.attr("timeout"), "limits"_a = limits,
                                "transport"_a = transport);
}

void init(py::object self, py::object api_url, py::object api_key, py::object timeout, py::object progress) {
    args::exact_str(api_url, "api_url");
    args::exact_str(api_key, "api_key");
    py::object seconds = args::to_float(timeout, "timeout");
    py::object lock = ns::get("threading").attr("Lock");
    py::setattr(self, "api_url", api_url.attr("rstrip")("/"));
    py::setattr(self, "api_key", api_key);
    py::setattr(self, "timeout", seconds);
    py::setattr(self, "progress", progress);
    py::setattr(self, "_transfer_client", py::none());
    py::setattr(self, "_transfer_client_lock", lock());
    py::setattr(self, "_api_client", py::none());
    py::setattr(self, "_api_client_lock", lock());
}

py::object transfer_http_client(py::object self) {
    return lazy_pool(self, "_transfer_client", "_transfer_client_lock", &build_transfer_pool);
}

py::object api_http_client(py::object self) {
    return lazy_pool(self, "_api_client", "_api_client_lock", &build_api_pool);
}

}  // namespace

pool::BreakOff break_off_requests(py::object client) {
    return [client] {
        for (const char* attr : {"_transfer_client", "_api_client"}) {
            py::error_scope keep;
            try {
                net::break_off(attr::or_none(client, attr));
            } catch (py::error_already_set&) {
                // A client without such a pool.
            }
        }
    };
}

namespace {

void close_pools(py::object self) {
    for (const char* attr : {"_transfer_client", "_api_client"}) {
        py::object pool = self.attr(attr);
        py::setattr(self, attr, py::none());
        if (!pool.is_none()) errors::best_effort([&] { pool.attr("close")(); });
    }
}

py::dict headers(py::object self, py::object content_type) {
    args::exact_str(content_type, "content_type");
    py::dict h;
    h["Authorization"] = py::str("Bearer ") + py::str(self.attr("api_key"));
    h["Content-Type"] = content_type;
    return h;
}

// api_url + "/v1/jobs/" + job id + suffix, joined as they are.
py::object job_url(py::handle self, py::handle job_id, const char* suffix) {
    py::object base = self.attr("api_url");
    return base + py::str("/v1/jobs/") + py::reinterpret_borrow<py::object>(job_id) + py::str(suffix);
}

py::object json_dict(py::handle resp) { return args::expect(resp.attr("json")(), &PyDict_Type); }

}  // namespace

py::object api_post_json(py::handle self, py::handle url, py::handle body) {
    py::object pool = self.attr("_api_http_client")();
    py::object resp = body.is_none()
                          ? pool.attr("post")(url, "headers"_a = self.attr("_headers")())
                          : pool.attr("post")(url, "json"_a = body, "headers"_a = self.attr("_headers")());
    resp.attr("raise_for_status")();
    return resp.attr("json")();
}

py::object api_post(py::handle self, py::handle url, py::handle body) {
    return args::expect(api_post_json(self, url, body), &PyDict_Type);
}

namespace {

py::object post_manifest(py::object self, py::object job_id, py::object manifest) {
    args::exact_str(job_id, "job_id");
    args::exact_dict(manifest, "manifest");
    return api_post(self, job_url(self, job_id, "/workspace/manifest"), manifest);
}

py::object complete_uploads(py::object self, py::object job_id) {
    args::exact_str(job_id, "job_id");
    return api_post(self, job_url(self, job_id, "/workspace/uploads/complete"), py::none());
}

py::object presign_blobs(py::object self, py::object endpoint, py::object shas) {
    args::exact_str(endpoint, "endpoint");
    args::exact_list(shas, "shas");
    py::dict body;
    body["shas"] = shas;
    py::object base = self.attr("api_url");
    return api_post(self, base + endpoint, body);
}

// Best effort: the outputs are already on disk when this runs.
void ack_outputs(py::object self, py::object job_id) {
    args::exact_str(job_id, "job_id");
    errors::best_effort([&] {
        py::object pool = self.attr("_api_http_client")();
        py::object url = job_url(self, job_id, "/outputs/ack");
        pool.attr("post")(url, "headers"_a = self.attr("_headers")());
    });
}

py::object get_outputs_manifest(py::object self, py::object job_id) {
    args::exact_str(job_id, "job_id");
    py::object pool = self.attr("_api_http_client")();
    py::object url = job_url(self, job_id, "/outputs/manifest");
    py::object resp = pool.attr("get")(url, "headers"_a = self.attr("_headers")("application/json"));
    // A job that has produced nothing yet has no outputs manifest.
    py::object status = resp.attr("status_code");
    if (status.equal(py::int_(404))) {
        py::dict empty;
        empty["artifacts"] = py::list();
        return empty;
    }
    resp.attr("raise_for_status")();
    return json_dict(resp);
}

py::object download_artifact(py::object self, py::object get_url) {
    args::exact_str(get_url, "get_url");
    py::object resp = self.attr("_transfer_http_client")().attr("get")(get_url);
    resp.attr("raise_for_status")();
    return args::expect(resp.attr("content"), &PyBytes_Type);
}

}  // namespace

void define_workspace_client(py::module_&) {
    py::object cls = pyclass::new_class("WorkspaceClient");
    py::setattr(cls, "__doc__", py::str(
        "Client of the job API and of the object store's presigned URLs.\n\n"
        "One client serves every worker thread of a sync call; its two HTTP connection pools\n"
        "are made on first use. Use it as a context manager, or call close()."));
    sig::method(cls, "__init__",
                {sig::arg("api_url"), sig::arg("api_key"), sig::kw("timeout", "60.0"), sig::kw("progress", "None")},
                "api_url: base URL of the job API (a trailing '/' is dropped); api_key: its bearer token;\n"
                "timeout: seconds for every request; progress: None or a callable taking two ints,\n"
                "progress(int, int) -> None, kept as the `progress` attribute for the caller's use\n"
                "(the client never calls it).",
                [](py::object self, const sig::Bound& a) { init(self, a[0], a[1], a[2], a[3]); });
    sig::method(cls, "_transfer_http_client", {}, "The object-store connection pool, made on first use.",
                [](py::object self, const sig::Bound&) { return transfer_http_client(self); });
    sig::method(cls, "_api_http_client", {}, "The job-API connection pool, made on first use.",
                [](py::object self, const sig::Bound&) { return api_http_client(self); });
    sig::method(cls, "close", {}, "Close both connection pools; the client makes new ones if used again.",
                [](py::object self, const sig::Bound&) { close_pools(self); });
    sig::method(cls, "__enter__", {}, "Return the client itself.",
                [](py::object self, const sig::Bound&) { return self; });
    sig::method(cls, "__exit__", {sig::arg("exc_type", "None"), sig::arg("exc", "None"), sig::arg("tb", "None")},
                "Close the client; an exception on its way out is not suppressed.",
                [](py::object self, const sig::Bound&) { self.attr("close")(); });
    sig::method(cls, "_headers", {sig::arg("content_type", "'application/json'")},
                "Headers of a job-API request: the bearer token and `content_type`.",
                [](py::object self, const sig::Bound& a) { return headers(self, a[0]); });
    sig::method(cls, "post_manifest", {sig::arg("job_id"), sig::arg("manifest")},
                "Send the manifest dict of job `job_id`; return the server's upload plan (a dict).",
                [](py::object self, const sig::Bound& a) { return post_manifest(self, a[0], a[1]); });
    sig::method(cls, "complete_uploads", {sig::arg("job_id")},
                "Tell the server every blob of job `job_id` is stored; return its reply (a dict).",
                [](py::object self, const sig::Bound& a) { return complete_uploads(self, a[0]); });
    bind_single_put(cls);
    sig::method(cls, "presign_blobs", {sig::arg("endpoint"), sig::arg("shas")},
                "Ask `endpoint` (a path below api_url) for upload URLs of the hashes in the list `shas`;\n"
                "return the reply dict (\"urls\", and \"skip\" for blobs the server has).",
                [](py::object self, const sig::Bound& a) { return presign_blobs(self, a[0], a[1]); });
    bind_multipart_protocol(cls);
    bind_multipart_engine(cls);
    sig::method(cls, "ack_outputs", {sig::arg("job_id")},
                "Tell the server the outputs of job `job_id` were received; failures are ignored.",
                [](py::object self, const sig::Bound& a) { ack_outputs(self, a[0]); });
    sig::method(cls, "get_outputs_manifest", {sig::arg("job_id")},
                "Return the outputs manifest of job `job_id` (no artifacts when the job has none yet).",
                [](py::object self, const sig::Bound& a) { return get_outputs_manifest(self, a[0]); });
    sig::method(cls, "download_artifact", {sig::arg("get_url")},
                "Return the bytes at the presigned URL `get_url`.",
                [](py::object self, const sig::Bound& a) { return download_artifact(self, a[0]); });
    bind_artifact_download(cls);
    ns::set("WorkspaceClient", cls);
}

}  // namespace brivel::workspace
