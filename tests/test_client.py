import threading
from types import SimpleNamespace

import httpx
import pytest

import brivel.workspace as ws


class StrSub(str):
    pass


@pytest.fixture
def spy_httpx(monkeypatch):
    """Records how the module builds its pools, through its late-bound `httpx` name."""
    made = SimpleNamespace(limits=[], transports=[], clients=[])

    def limits(**kw):
        made.limits.append(kw)
        return httpx.Limits(**kw)

    def transport(**kw):
        made.transports.append(kw)
        return httpx.HTTPTransport(**kw)

    def client(**kw):
        made.clients.append(kw)
        return httpx.Client(**kw)

    fake = SimpleNamespace(Limits=limits, HTTPTransport=transport, Client=client,
                           TransportError=httpx.TransportError,
                           TimeoutException=httpx.TimeoutException)
    monkeypatch.setattr(ws, "httpx", fake)
    return made


class TestConstruction:
    @pytest.mark.parametrize("url, stored", [
        ("http://h:1", "http://h:1"),
        ("http://h:1/", "http://h:1"),
        ("http://h:1///", "http://h:1"),
        ("///", ""),
    ])
    def test_trailing_slashes_removed(self, url, stored):
        assert ws.WorkspaceClient(url, "k").api_url == stored

    def test_attributes_in_order(self):
        c = ws.WorkspaceClient("http://h", "k", timeout=30, progress=print)
        assert list(vars(c)) == ["api_url", "api_key", "timeout", "progress", "_transfer_client",
                                 "_transfer_client_lock", "_api_client", "_api_client_lock"]
        assert c.timeout == 30.0 and type(c.timeout) is float
        assert c.progress is print and c._api_client is None and c._transfer_client is None
        assert ws.WorkspaceClient("http://h", "k").timeout == 60.0

    def test_plain_class(self):
        cls = ws.WorkspaceClient
        assert cls.__bases__ == (object,) and cls.__module__ == "brivel.workspace"
        assert [n for n, v in vars(cls).items() if callable(v)] == [
            "__init__", "_transfer_http_client", "_api_http_client", "close", "__enter__",
            "__exit__", "_headers", "post_manifest", "complete_uploads", "upload_blob",
            "upload_blob_single", "presign_blobs", "multipart_create", "multipart_presign_parts",
            "multipart_complete", "multipart_abort", "upload_blob_multipart", "_multipart_attempt",
            "_put_part_bytes", "ack_outputs", "get_outputs_manifest", "download_artifact",
            "download_artifact_to_file"]

    @pytest.mark.parametrize("args, kwargs, name", [
        ((None, "k"), {}, "api_url"),
        (("u", b"k"), {}, "api_key"),
        (("u", StrSub("k")), {}, "api_key"),
        (("u", "k"), {"timeout": None}, "timeout"),
        (("u", "k"), {"timeout": "5"}, "timeout"),
    ])
    def test_bad_arguments(self, args, kwargs, name):
        with pytest.raises(TypeError, match=f"Argument '{name}' has incorrect type"):
            ws.WorkspaceClient(*args, **kwargs)

    def test_api_url_none_message(self):
        with pytest.raises(TypeError) as e:
            ws.WorkspaceClient(None, "k")
        assert str(e.value) == "Argument 'api_url' has incorrect type (expected str, got NoneType)"

    @pytest.mark.parametrize("args, kwargs", [(("u", "k", 5.0), {}), (("u",), {}), (("u", "k"), {"retries": 2})])
    def test_signature(self, args, kwargs):
        with pytest.raises(TypeError):
            ws.WorkspaceClient(*args, **kwargs)


class TestPools:
    def test_settings(self, spy_httpx, set_const):
        set_const(ws, "_TRANSFER_POOL_CONNECTIONS", 7)  # read when the pool is built
        c = ws.WorkspaceClient("http://h", "k", timeout=7)
        api = c._api_http_client()
        assert spy_httpx.limits == [dict(max_connections=16, max_keepalive_connections=8, keepalive_expiry=4.0)]
        assert spy_httpx.transports == [dict(retries=2)]
        assert spy_httpx.clients[0]["timeout"] == 7.0 and set(spy_httpx.clients[0]) == {"timeout", "limits", "transport"}
        transfer = c._transfer_http_client()
        assert spy_httpx.limits[1] == dict(max_connections=7, max_keepalive_connections=7, keepalive_expiry=30.0)
        assert set(spy_httpx.clients[1]) == {"timeout", "limits"}
        assert len(spy_httpx.transports) == 1  # the transfer pool keeps the default transport
        assert api is not transfer
        c.close()

    def test_reused_then_rebuilt(self):
        c = ws.WorkspaceClient("http://h", "k")
        for accessor in ("_api_http_client", "_transfer_http_client"):
            first = getattr(c, accessor)()
            assert getattr(c, accessor)() is first
            c.close()
            assert first.is_closed
            second = getattr(c, accessor)()
            assert second is not first and not second.is_closed
        c.close()

    def test_pool_closed_by_user_is_replaced(self, monkeypatch):
        c = ws.WorkspaceClient("http://h", "k")
        pool = c._transfer_http_client()
        pool.close()
        closes = []
        monkeypatch.setattr(pool, "close", lambda: closes.append(1))
        fresh = c._transfer_http_client()
        assert fresh is not pool and not fresh.is_closed and closes == []
        c.close()

    def test_timeout_read_when_built(self):
        c = ws.WorkspaceClient("http://h", "k", timeout=5)
        first = c._api_http_client()
        c.timeout = 9.0
        assert c._api_http_client().timeout.read == 5.0
        c.close()
        assert c._api_http_client().timeout.read == 9.0 and first.is_closed
        c.close()

    def test_concurrent_first_use_builds_one_pool(self, spy_httpx):
        c = ws.WorkspaceClient("http://h", "k")
        n = 16
        barrier = threading.Barrier(n)
        got = []

        def use():
            barrier.wait(timeout=10)
            got.append(c._api_http_client())

        threads = [threading.Thread(target=use) for _ in range(n)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(timeout=10)
        assert len(got) == n and len({id(p) for p in got}) == 1
        assert len(spy_httpx.clients) == 1
        c.close()

    def test_build_error_releases_lock(self, monkeypatch):
        c = ws.WorkspaceClient("http://h", "k")

        def broken(**kw):
            raise OSError("no sockets")

        monkeypatch.setattr(ws, "httpx", SimpleNamespace(Limits=httpx.Limits, Client=broken))
        with pytest.raises(OSError, match="no sockets"):
            c._transfer_http_client()
        assert c._transfer_client is None and not c._transfer_client_lock.locked()
        monkeypatch.undo()
        assert not c._transfer_http_client().is_closed
        c.close()


class TestClose:
    def test_fresh_and_twice(self):
        c = ws.WorkspaceClient("http://h", "k")
        c.close()
        c.close()
        assert c._api_client is None and c._transfer_client is None

    def test_failing_pool_close_is_ignored(self, monkeypatch):
        c = ws.WorkspaceClient("http://h", "k")
        transfer, api = c._transfer_http_client(), c._api_http_client()

        def boom():
            raise RuntimeError("close failed")

        monkeypatch.setattr(transfer, "close", boom)
        c.close()
        assert api.is_closed and c._api_client is None and c._transfer_client is None

    def test_with_block(self):
        with ws.WorkspaceClient("http://h", "k") as c:
            pool = c._api_http_client()
        assert isinstance(c, ws.WorkspaceClient) and pool.is_closed and c._api_client is None
        with pytest.raises(KeyError, match="inside"):
            with c:
                pool = c._transfer_http_client()
                raise KeyError("inside")
        assert pool.is_closed
        assert c.__exit__(None, None, None) is None


class TestHeaders:
    def test_headers(self):
        c = ws.WorkspaceClient("http://h", "sekrit")
        h = c._headers()
        assert h == {"Authorization": "Bearer sekrit", "Content-Type": "application/json"}
        assert list(h) == ["Authorization", "Content-Type"]
        h["x"] = "1"
        assert c._headers() == {"Authorization": "Bearer sekrit", "Content-Type": "application/json"}
        assert c._headers("text/plain")["Content-Type"] == "text/plain"
        assert ws.WorkspaceClient("http://h", "")._headers()["Authorization"] == "Bearer "
        with pytest.raises(TypeError, match="content_type"):
            c._headers(None)


@pytest.fixture
def api(cloud):
    with ws.WorkspaceClient(cloud.base + "//", cloud.api_key, timeout=10) as c:
        yield c


class TestJobApi:
    def test_calls_paths_bodies_and_headers(self, cloud, api):
        cloud.plan = {"put_urls": {}, "skip": []}
        assert api.post_manifest("job-7", {"files": [], "n": 1}) == {"put_urls": {}, "skip": []}
        assert api.presign_blobs("/v1/jobs/job-7/workspace/presign", []) == {"urls": {}, "skip": []}
        assert api.complete_uploads("job-7") == {"status": "ok"}
        assert api.get_outputs_manifest("job-7") == {"artifacts": []}
        assert api.ack_outputs("job-7") is None
        reqs = cloud.requests
        assert [(r.method, r.raw_path) for r in reqs] == [
            ("POST", "/v1/jobs/job-7/workspace/manifest"),
            ("POST", "/v1/jobs/job-7/workspace/presign"),
            ("POST", "/v1/jobs/job-7/workspace/uploads/complete"),
            ("GET", "/v1/jobs/job-7/outputs/manifest"),
            ("POST", "/v1/jobs/job-7/outputs/ack"),
        ]
        assert reqs[0].json == {"files": [], "n": 1} and reqs[1].json == {"shas": []}
        for r in reqs:
            assert r.headers["Authorization"] == "Bearer test-key"
            assert r.headers["Content-Type"] == "application/json"
        assert reqs[2].body == b"" and cloud.acks == ["job-7"]
        assert len({r.conn for r in reqs}) == 1  # one kept-alive connection of the API pool

    @pytest.mark.parametrize("job, path", [("", "/v1/jobs//workspace/uploads/complete"),
                                           ("a/b", "/v1/jobs/a/b/workspace/uploads/complete")])
    def test_job_id_unescaped(self, cloud, api, job, path):
        api.complete_uploads(job)
        assert cloud.last().path == path

    def test_endpoint_joined_without_separator(self, cloud):
        with ws.WorkspaceClient(cloud.base + "/v1/jobs", cloud.api_key) as c:
            c.presign_blobs("/j/workspace/presign", ["a" * 64])
        assert cloud.last("presign").json == {"shas": ["a" * 64]}

    @pytest.mark.parametrize("call, args, name", [
        ("post_manifest", ("j", None), "manifest"),
        ("post_manifest", ("j", []), "manifest"),
        ("post_manifest", (None, {}), "job_id"),
        ("presign_blobs", ("/p", ("a",)), "shas"),
        ("presign_blobs", (None, []), "endpoint"),
        ("complete_uploads", (1,), "job_id"),
        ("get_outputs_manifest", (b"j",), "job_id"),
        ("ack_outputs", (None,), "job_id"),
        ("download_artifact", (None,), "get_url"),
    ])
    def test_argument_checks_before_any_request(self, cloud, api, call, args, name):
        with pytest.raises(TypeError, match=f"Argument '{name}' has incorrect type"):
            getattr(api, call)(*args)
        assert cloud.requests == []

    @pytest.mark.parametrize("call, args, route", [
        ("post_manifest", ("j", {}), "manifest"),
        ("complete_uploads", ("j",), "uploads_complete"),
        ("presign_blobs", ("/v1/jobs/j/workspace/presign", []), "presign"),
        ("get_outputs_manifest", ("j",), "outputs_manifest"),
    ])
    @pytest.mark.parametrize("reply, outcome", [
        (dict(json=None), None),
        (dict(json=[1]), TypeError("Expected dict, got list")),
        (dict(json="x"), TypeError("Expected dict, got str")),
        (dict(body=b""), ValueError),
        (dict(body=b"<html>"), ValueError),
        (dict(status=500, json={"detail": "down"}), httpx.HTTPStatusError),
        (dict(status=403), httpx.HTTPStatusError),
    ])
    def test_reply_checks(self, cloud, api, call, args, route, reply, outcome):
        cloud.inject(route, **reply)
        if outcome is None:
            assert getattr(api, call)(*args) is None
        elif isinstance(outcome, Exception):
            with pytest.raises(type(outcome), match=str(outcome)):
                getattr(api, call)(*args)
        else:
            with pytest.raises(outcome):
                getattr(api, call)(*args)

    def test_outputs_manifest_404(self, cloud, api):
        cloud.outputs = None
        first = api.get_outputs_manifest("j")
        assert first == {"artifacts": []}
        first["artifacts"].append(1)
        assert api.get_outputs_manifest("j") == {"artifacts": []}
        cloud.inject("outputs_manifest", status=404, body=b"not json at all")
        assert api.get_outputs_manifest("j") == {"artifacts": []}

    def test_ack_is_best_effort(self, cloud, api):
        cloud.inject("outputs_ack", status=500)
        cloud.inject("outputs_ack", drop=True)
        assert api.ack_outputs("j") is None and api.ack_outputs("j") is None
        with ws.WorkspaceClient("http://127.0.0.1:9", "k", timeout=2) as dead:
            assert dead.ack_outputs("j") is None

    def test_transport_errors_propagate(self, cloud, api):
        cloud.inject("manifest", drop=True)
        with pytest.raises(httpx.TransportError):
            api.post_manifest("j", {})
        # The API transport retries establishing a connection, never a sent request.
        assert cloud.count("manifest") == 1

    @pytest.mark.parametrize("call, args", [
        ("post_manifest", ("j", {})),
        ("complete_uploads", ("j",)),
        ("presign_blobs", ("/v1/jobs/j/workspace/presign", [])),
        ("get_outputs_manifest", ("j",)),
        ("ack_outputs", ("j",)),
    ])
    def test_pool_and_headers_reached_through_the_instance(self, cloud, api, monkeypatch, call, args):
        own = httpx.Client(timeout=10)
        headers = api._headers

        def tagged(content_type="application/json"):
            return {**headers(content_type), "X-Caller": "instance"}

        monkeypatch.setattr(api, "_api_http_client", lambda: own, raising=False)
        monkeypatch.setattr(api, "_headers", tagged, raising=False)
        with own:
            getattr(api, call)(*args)
        assert cloud.last().headers["X-Caller"] == "instance" and api._api_client is None

    def test_calls_after_close_build_a_new_pool(self, cloud, api):
        api.complete_uploads("j")
        first = api._api_client
        api.close()
        api.complete_uploads("j")
        assert api._api_client is not first and first.is_closed


class TestDownloadArtifact:
    def test_bytes_without_credentials(self, cloud, api):
        cloud.artifacts["a"] = b"payload" * 1000
        cloud.artifacts["e"] = b""
        assert api.download_artifact(cloud.get_url("a")) == b"payload" * 1000
        assert api.download_artifact(cloud.get_url("e")) == b""
        assert all("Authorization" not in r.headers for r in cloud.requests_for("obj_get"))

    def test_expired_url_raises_at_once(self, cloud, api, no_backoff):
        cloud.artifacts["a"] = b"x"
        with pytest.raises(httpx.HTTPStatusError) as e:
            api.download_artifact(cloud.get_url("a", expired=True))
        assert e.value.response.status_code == 403 and cloud.count("obj_get") == 1
