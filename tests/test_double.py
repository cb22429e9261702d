"""Self-tests of the test doubles: the loopback cloud, the module fakes and the fixtures.

They talk only to servers they start on 127.0.0.1 and never import brivel.
"""

from __future__ import annotations

import base64
import concurrent.futures
import hashlib
import io
import json
import logging
import os
import re
import stat
import sys
import threading
import time
import types
import zipfile
from http.client import HTTPConnection

import httpx
import pytest

from support import (NOT_JSON, Abort, FakeCloud, FakeFlowtune, FakeNvml, FakeOrvane, FakePsutil,
                     NVMLError, Progress, Raw, Reply)
from support.fixtures import _CHILD_PASSED

pytestmark = pytest.mark.timeout(60)

AUTH = {"Authorization": "Bearer test-key"}


def sha(data: bytes) -> str:
    return hashlib.sha256(data).hexdigest()


def b64sha(data: bytes) -> str:
    return base64.b64encode(hashlib.sha256(data).digest()).decode()


def md5(data: bytes) -> str:
    return hashlib.md5(data).hexdigest()


class Api:
    """Calls a FakeCloud with the API key unless ``auth=False``."""

    def __init__(self, http: httpx.Client, cloud: FakeCloud):
        self.http, self.cloud = http, cloud

    def __call__(self, method: str, path: str, *, auth: bool = True, **kw) -> httpx.Response:
        headers = {**(AUTH if auth else {}), **kw.pop("headers", {})}
        return self.http.request(method, self.cloud.base + path, headers=headers, **kw)

    def parts(self, chunks, *, checksums=False, job="j"):
        """create, presign and PUT ``chunks`` as parts 1..N; (sha, upload_id, parts)."""
        blob_sha = sha(b"".join(chunks))
        root = f"/v1/jobs/{job}/workspace/multipart"
        upload_id = self("POST", f"{root}/create", json={"sha": blob_sha}).json()["upload_id"]
        body = {"sha": blob_sha, "upload_id": upload_id,
                "part_numbers": list(range(1, len(chunks) + 1))}
        if checksums:
            body["checksums"] = {str(i): b64sha(c) for i, c in enumerate(chunks, 1)}
        urls = self("POST", f"{root}/presign", json=body).json()["urls"]
        parts = []
        for pn, chunk in enumerate(chunks, 1):
            headers = {"x-amz-checksum-sha256": b64sha(chunk)} if checksums else {}
            reply = self.http.put(urls[str(pn)], content=chunk, headers=headers)
            assert reply.status_code == 200, reply.text
            entry = {"PartNumber": pn, "ETag": reply.headers.get("etag", "").strip('"')}
            if checksums:
                entry["ChecksumSHA256"] = b64sha(chunk)
            parts.append(entry)
        return blob_sha, upload_id, parts

    def complete(self, blob_sha, upload_id, parts, job="j") -> httpx.Response:
        return self("POST", f"/v1/jobs/{job}/workspace/multipart/complete",
                    json={"sha": blob_sha, "upload_id": upload_id, "parts": parts})


@pytest.fixture
def http():
    with httpx.Client(timeout=5.0) as client:
        yield client


@pytest.fixture
def api(http, cloud) -> Api:
    return Api(http, cloud)


@pytest.fixture
def pool():
    with concurrent.futures.ThreadPoolExecutor(8) as executor:
        yield executor


# ------------------------------------------------------------------------- server basics


def test_replies_are_framed_on_one_kept_alive_connection(cloud):
    cloud.allow("wrong-auth", "unknown-route")
    conn = HTTPConnection("127.0.0.1", cloud.port, timeout=5)
    try:
        for method, path, headers, status in [
            ("POST", "/v1/jobs/j/outputs/ack", {"Authorization": "Bearer x"}, 401),
            ("POST", "/v1/jobs/j/workspace/multipart/abort", AUTH, 204),
            ("GET", "/nowhere", {}, 404),
            ("POST", "/v1/pre-warm", AUTH, 200),
        ]:
            # A body on every request: the double must read it even when refusing.
            conn.request(method, path, body=b'{"upload_id": "u9"}', headers=headers)
            reply = conn.getresponse()
            body = reply.read()
            assert reply.status == status
            assert reply.getheader("Content-Length") == str(len(body))
    finally:
        conn.close()
    other = HTTPConnection("127.0.0.1", cloud.port, timeout=5)
    other.request("POST", "/v1/pre-warm", body=b"{}", headers=AUTH)
    other.getresponse().read()
    other.close()
    conns = [r.conn for r in cloud.requests]
    assert conns[:4] == [conns[0]] * 4 and conns[4] != conns[0]
    assert cloud.base == f"http://127.0.0.1:{cloud.port}"


def test_raw_path_keeps_a_leading_double_slash(cloud):
    conn = HTTPConnection("127.0.0.1", cloud.port, timeout=5)
    conn.request("POST", "//v1/pre-warm", body=b"{}", headers=AUTH)
    assert conn.getresponse().status == 200
    conn.close()
    req = cloud.last("prewarm")
    assert (req.raw_path, req.path) == ("//v1/pre-warm", "/v1/pre-warm")


def test_chunked_request_bodies_are_read(cloud):
    conn = HTTPConnection("127.0.0.1", cloud.port, timeout=5)
    conn.request("POST", "/v1/data/upload", body=iter([b"abc", b"defg"]),
                 headers={**AUTH, "Content-Type": "application/octet-stream"},
                 encode_chunked=True)
    assert json.loads(conn.getresponse().read()) == {"data_key": "k1"}
    conn.close()
    assert cloud.data == {"k1": b"abcdefg"}
    assert cloud.last("data_upload").chunked


@pytest.mark.parametrize("path, route, params, query", [
    ("/v1/jobs//outputs/ack", "outputs_ack", {"job": ""}, {}),
    ("/v1/jobs/a/b/outputs/ack", "outputs_ack", {"job": "a/b"}, {}),
    ("/v1/jobs/a?b/outputs/ack", "unknown", {}, {"b/outputs/ack": ""}),
])
def test_job_ids_match_greedily(cloud, api, path, route, params, query):
    cloud.allow("unknown-route")
    api("POST", path)
    req = cloud.last()
    assert (req.route, dict(req.params), dict(req.query)) == (route, params, query)


@pytest.mark.parametrize("method, path, route, status", [
    ("GET", "/v1/data/upload", "data_get", 404),
    ("DELETE", "/v1/data/upload-init", "data_delete", 204),
    ("PATCH", "/v1/data/upload", "unknown", 404),
    ("POST", "/v1/jobs/j/workspace/nothing", "unknown", 404),
])
def test_routes_match_method_first(cloud, api, method, path, route, status):
    reply = api(method, path, auth=method != "GET")
    assert (cloud.last().route, reply.status_code) == (route, status)
    if route == "unknown":
        assert reply.json() == {"detail": "not found"}
        assert [kind for kind, _ in cloud.violations] == ["unknown-route"]
        cloud.allow("unknown-route")


def test_stop_frees_held_and_delayed_requests(cloud_factory, pool):
    cloud = cloud_factory()
    cloud.hold("prewarm")
    cloud.inject("outputs_ack", delay=60)
    with httpx.Client(timeout=10) as client:
        held = pool.submit(client.post, cloud.base + "/v1/pre-warm", headers=AUTH)
        delayed = pool.submit(client.post, cloud.base + "/v1/jobs/j/outputs/ack", headers=AUTH)
        assert cloud.wait_inflight(None, 2)
        started = time.monotonic()
        cloud.stop()
        assert time.monotonic() - started < 5
        for future in (held, delayed):
            with pytest.raises(httpx.TransportError):
                future.result(timeout=5)


def test_reset_clears_state_log_and_injections(cloud, api):
    cloud.seed_data("k9", b"x")
    cloud.inject("prewarm", status=500, times=None)
    cloud.allow("missing-auth")
    api("POST", "/v1/pre-warm", auth=False)
    cloud.reset()
    assert (cloud.requests, cloud.violations, cloud.data, cloud.injections) == ([], [], {}, [])
    assert api("POST", "/v1/pre-warm").status_code == 200


# ---------------------------------------------------------------------------------- auth


@pytest.mark.parametrize("method, target, headers, status, violation", [
    ("POST", lambda c: "/v1/jobs/j/outputs/ack", {}, 401, "missing-auth"),
    ("POST", lambda c: "/v1/jobs/j/outputs/ack", {"Authorization": "Bearer no"}, 401, "wrong-auth"),
    ("POST", lambda c: "/v1/jobs/j/outputs/ack", {"Authorization": "bearer test-key"}, 401,
     "wrong-auth"),
    ("POST", lambda c: "/v1/data/upload-init", {"Authorization": "test-key"}, 401, "wrong-auth"),
    ("POST", lambda c: "/v1/pre-warm", {}, 401, "missing-auth"),
    ("PUT", lambda c: c.data_put_url("k1"), AUTH, 400, "auth-on-presigned"),
    ("GET", lambda c: c.get_url("art"), AUTH, 400, "auth-on-presigned"),
    ("GET", lambda c: "/v1/data/k1", AUTH, 200, "auth-on-fetch"),
    ("GET", lambda c: "/store/data/k1", AUTH, 200, "auth-on-fetch"),
])
def test_credentials_are_checked_per_route(cloud, http, method, target, headers, status,
                                           violation):
    cloud.seed_data("k1", b"payload")
    cloud.artifacts["art"] = b"a"
    url = target(cloud)
    url = url if url.startswith("http") else cloud.base + url
    reply = http.request(method, url, headers=headers, content=b"{}")
    assert reply.status_code == status
    if status == 401:
        assert reply.json() == {"detail": "unauthorized"}
    if status == 400:
        assert reply.text == ("<Error><Code>InvalidArgument</Code>"
                              "<Message>Only one auth mechanism allowed</Message></Error>")
    if status == 200:
        assert reply.content == b"payload"
    assert [kind for kind, _ in cloud.violations] == [violation]
    cloud.allow(violation)


# ------------------------------------------------------------------------------- job API


def test_manifest_answers_the_default_plan(cloud, api):
    stored, fresh = b"stored", b"fresh"
    cloud.objects[sha(stored)] = stored
    files = [{"sha256": sha(stored)}, {"sha256": sha(fresh)}, {"sha256": sha(fresh)}]
    plan = api("POST", "/v1/jobs/j7/workspace/manifest", json={"files": files}).json()
    assert list(plan["put_urls"]) == [sha(fresh)]
    assert plan["skip"] == [sha(stored)]
    assert plan["upload_protocol"] == 2
    assert plan["multipart"] == {
        "enabled": True, "threshold_bytes": 64 * 1024, "part_size_bytes": 16 * 1024,
        "checksum_parts": False, "presign_endpoint": "/v1/jobs/j7/workspace/presign",
        "create_endpoint": "/v1/jobs/j7/workspace/multipart/create",
        "presign_parts_endpoint": "/v1/jobs/j7/workspace/multipart/presign",
        "complete_endpoint": "/v1/jobs/j7/workspace/multipart/complete",
        "abort_endpoint": "/v1/jobs/j7/workspace/multipart/abort"}
    assert api.http.put(plan["put_urls"][sha(fresh)], content=fresh).status_code == 200
    assert cloud.objects[sha(fresh)] == fresh


@pytest.mark.parametrize("kwargs, check", [
    ({"protocol": 1}, lambda p: p["upload_protocol"] == 1),
    ({"multipart": False}, lambda p: "multipart" not in p),
    ({"presign": False}, lambda p: "presign_endpoint" not in p["multipart"]
        and "create_endpoint" in p["multipart"]),
    ({"threshold": 10, "part_size": 5, "checksum_parts": True},
     lambda p: (p["multipart"]["threshold_bytes"], p["multipart"]["part_size_bytes"],
                p["multipart"]["checksum_parts"]) == (10, 5, True)),
])
def test_default_plan_variants(cloud, kwargs, check):
    assert check(cloud.default_plan({"files": [{"sha256": "ab"}]}, "j", **kwargs))


@pytest.mark.parametrize("plan, status, body", [
    ({"put_urls": {}, "skip": []}, 200, b'{"put_urls": {}, "skip": []}'),
    (lambda manifest, job: {"job": job, "n": len(manifest["files"])}, 200,
     b'{"job": "j", "n": 0}'),
    (lambda manifest, job: None, 200, b"null"),
    (Raw(b"<html>busy</html>"), 200, b"<html>busy</html>"),
    (Reply(503, body=b"later"), 503, b"later"),
])
def test_plan_can_be_replaced(cloud, api, plan, status, body):
    cloud.plan = plan
    reply = api("POST", "/v1/jobs/j/workspace/manifest", json={"files": []})
    assert (reply.status_code, reply.content) == (status, body)


def test_presign_route_and_its_batch_limit(cloud, api):
    cloud.objects[sha(b"a")] = b"a"
    reply = api("POST", "/v1/jobs/j/workspace/presign", json={"shas": [sha(b"a"), sha(b"b")]})
    assert reply.json()["skip"] == [sha(b"a")]
    assert list(reply.json()["urls"]) == [sha(b"b")]
    too_many = api("POST", "/v1/jobs/j/workspace/presign", json={"shas": ["x"] * 257})
    assert too_many.status_code == 400
    assert [kind for kind, _ in cloud.violations] == ["batch-too-large"]
    cloud.allow("batch-too-large")


def test_multipart_create_skips_stored_blobs(cloud, api):
    cloud.objects[sha(b"a")] = b"a"
    create = "/v1/jobs/j/workspace/multipart/create"
    assert api("POST", create, json={"sha": sha(b"a")}).json() == {"skip": True}
    assert api("POST", create, json={"sha": sha(b"b")}).json() == {"upload_id": "u1"}
    assert cloud.uploads["u1"].key == sha(b"b")


def test_uploads_complete_waits_for_every_put_url_blob(cloud, api):
    blob = b"needed"
    plan = api("POST", "/v1/jobs/j/workspace/manifest",
               json={"files": [{"sha256": sha(blob)}]}).json()
    early = api("POST", "/v1/jobs/j/workspace/uploads/complete")
    assert early.status_code == 409
    assert early.json() == {"detail": "missing blobs", "missing": [sha(blob)]}
    api.http.put(plan["put_urls"][sha(blob)], content=blob)
    assert api("POST", "/v1/jobs/j/workspace/uploads/complete").json() == {"status": "ok"}
    cloud.complete_reply = {"status": "queued"}
    assert api("POST", "/v1/jobs/other/workspace/uploads/complete").json() == {"status": "queued"}


def test_outputs_manifest_remints_urls_and_counts_acks(cloud, api):
    cloud.outputs = None
    assert api("GET", "/v1/jobs/j/outputs/manifest").status_code == 404
    entry = cloud.add_output("model.bin", b"weights", save_to="out/model.bin", relpath="model.bin")
    first = api("GET", "/v1/jobs/j/outputs/manifest").json()["artifacts"]
    second = api("GET", "/v1/jobs/j/outputs/manifest").json()["artifacts"]
    assert first[0] == {**entry, "download_url": first[0]["download_url"]}
    assert entry["sha256"] == sha(b"weights") and entry["is_directory"] is False
    assert first[0]["download_url"] != second[0]["download_url"]
    assert api.http.get(second[0]["download_url"]).content == b"weights"
    assert api("POST", "/v1/jobs/j/outputs/ack").json() == {}
    assert cloud.acks == ["j"]


# ------------------------------------------------------------------------------- tokens


def test_every_mint_is_fresh_and_expiry_has_three_sources(cloud, http):
    data = b"blob"
    first, second = cloud.put_url(sha(data)), cloud.put_url(sha(data))
    assert first != second
    cloud.expire(first)
    assert http.put(first, content=data).status_code == 403
    assert http.put(second, content=data).status_code == 200
    cloud.expire_next(2, route="blob_put")
    get_url = cloud.get_url("nothing")  # other routes are not affected
    born = [cloud.put_url(sha(data)) for _ in range(3)]
    assert [http.put(u, content=data).status_code for u in born] == [403, 403, 200]
    assert http.get(get_url).status_code == 404
    assert http.put(cloud.put_url(sha(data), expired=True), content=data).status_code == 403


@pytest.mark.parametrize("url", [
    lambda c: c.put_url("a").replace("sig=", "sig=0"),
    lambda c: c.put_url("a").replace("/blob/a", "/blob/b"),  # a token for another object
    lambda c: c.put_url("a").split("?")[0],
])
def test_unknown_or_foreign_tokens_do_not_match(cloud, http, url):
    reply = http.put(url(cloud), content=b"a")
    assert reply.status_code == 403
    assert reply.text == "<Error><Code>SignatureDoesNotMatch</Code></Error>"


@pytest.mark.parametrize("preset, status, body", [
    ("expired", 403, "<Error><Code>AccessDenied</Code>"
                     "<Message>Request has expired</Message></Error>"),
    ("signature", 403, "<Error><Code>SignatureDoesNotMatch</Code></Error>"),
    ("authqp", 403, "<Error><Code>AuthorizationQueryParametersError</Code></Error>"),
    ("token", 400, "<Error><Code>ExpiredToken</Code>"
                   "<Message>The provided token has expired.</Message></Error>"),
    ("authreq", 403, "<Error><Code>AuthenticationRequired</Code></Error>"),
    ("bare400", 400, "<Error><Code>InvalidRequest</Code></Error>"),
    ("denied", 403, "<Error><Code>AccessDenied</Code><Message>Access Denied</Message></Error>"),
])
def test_expiry_presets(cloud, http, preset, status, body):
    cloud.expiry_reply = preset
    upload_id = cloud.create_upload("s")
    cloud.artifacts["a"] = b"x"
    for reply in (http.put(cloud.part_url(upload_id, 1, expired=True), content=b"x"),
                  http.get(cloud.get_url("a", expired=True))):
        assert (reply.status_code, reply.text) == (status, body)


# ---------------------------------------------------------------------------- single PUT


def _chunks(data):
    yield data


@pytest.mark.parametrize("case, body, headers, status, stored", [
    ("plain", b"good", {}, 200, "objects"),
    ("checksum", b"good", {"x-amz-checksum-sha256": b64sha(b"good")}, 200, "objects"),
    ("bad checksum", b"good", {"x-amz-checksum-sha256": b64sha(b"evil")}, 400, None),
    ("corrupt", b"evil", {}, 200, "corrupt"),
    ("chunked", _chunks, {}, 411, None),
])
def test_single_put_rules(cloud, http, case, body, headers, status, stored):
    url = cloud.put_url(sha(b"good"))
    content = body(b"good") if callable(body) else body
    reply = http.put(url, content=content, headers=headers)
    assert reply.status_code == status
    if status == 200:
        assert reply.headers["ETag"] == f'"{md5(body)}"'
    expected = {"objects": {}, "corrupt": {}}
    if stored:
        expected[stored] = {sha(b"good"): body}
    assert {"objects": cloud.objects, "corrupt": cloud.corrupt} == expected
    if status == 400:
        assert "<Code>BadDigest</Code>" in reply.text
    if status == 411:
        assert "<Code>MissingContentLength</Code>" in reply.text
        assert [kind for kind, _ in cloud.violations] == ["no-content-length"]
        cloud.allow("no-content-length")


# ------------------------------------------------------------------------------ part PUT


@pytest.mark.parametrize("mode, header, returned", [
    ("md5", lambda m: ("ETag", f'"{m}"'), lambda m: m),
    ("upper", lambda m: ("ETag", f'"{m.upper()}"'), lambda m: m.upper()),
    ("bare", lambda m: ("ETag", m), lambda m: m),
    ("doubled", lambda m: ("ETag", f'""{m}""'), lambda m: m),
    ("weak", lambda m: ("ETag", f'W/"{m}"'), lambda m: f'W/"{m}'),
    ("wrong", lambda m: ("ETag", '"' + "0" * 32 + '"'), lambda m: "0" * 32),
    ("multipart", lambda m: ("ETag", f'"{m}-3"'), lambda m: f"{m}-3"),
    ("nonhex32", lambda m: ("ETag", f'"g{m[1:]}"'), lambda m: f"g{m[1:]}"),
    ("empty", lambda m: ("ETag", '""'), lambda m: ""),
    ("none", lambda m: None, lambda m: ""),
    ("lowername", lambda m: ("etag", f'"{m}"'), lambda m: m),
])
def test_etag_modes(cloud, api, mode, header, returned):
    cloud.etag_mode = mode
    data = b"part one"
    upload_id = cloud.create_upload(sha(data))
    reply = api.http.put(cloud.part_url(upload_id, 1), content=data)
    sent = [(k.decode(), v.decode()) for k, v in reply.headers.raw if k.lower() == b"etag"]
    assert sent == ([header(md5(data))] if header(md5(data)) else [])
    if mode == "nonhex32":
        assert len(returned(md5(data))) == 32 and "g" in returned(md5(data))
    # A client that rewrites the ETag to the body's MD5 fails unless that is what was sent.
    rewritten = api.complete(sha(data), upload_id, [{"PartNumber": 1, "ETag": md5(data)}])
    assert (rewritten.status_code == 200) == (returned(md5(data)) == md5(data))
    echoed = api.complete(sha(data), upload_id, [{"PartNumber": 1, "ETag": returned(md5(data))}])
    assert echoed.status_code == 200 and cloud.objects[sha(data)] == data


def test_etag_mode_per_attempt_and_attempt_counts(cloud, http):
    cloud.etag_mode = lambda req, upload_id, pn, attempt: "wrong" if attempt == 0 else "md5"
    upload_id = cloud.create_upload("s")
    etags = [http.put(cloud.part_url(upload_id, pn), content=b"p").headers["ETag"]
             for pn in (1, 1, 2)]
    assert etags == ['"' + "0" * 32 + '"', f'"{md5(b"p")}"', '"' + "0" * 32 + '"']
    assert cloud.put_part_numbers(upload_id) == [1, 1, 2]
    assert (cloud.part_attempts(upload_id, 1), cloud.part_attempts(upload_id, 2)) == (2, 1)


@pytest.mark.parametrize("state", ["unknown", "killed", "aborted"])
def test_dead_uploads_answer_no_such_upload(cloud, api, state):
    upload_id = "u404" if state == "unknown" else cloud.create_upload("s")
    url = cloud.part_url(upload_id, 1) if state != "unknown" else None
    if state == "killed":
        cloud.kill_upload(upload_id)
    if state == "aborted":
        abort = api("POST", "/v1/jobs/j/workspace/multipart/abort",
                    json={"sha": "s", "upload_id": upload_id})
        assert abort.status_code == 204 and cloud.uploads[upload_id].state == "aborted"
    body = {"sha": "s", "upload_id": upload_id, "part_numbers": [1],
            "parts": [{"PartNumber": 1, "ETag": "x"}]}
    replies = [api("POST", "/v1/jobs/j/workspace/multipart/presign", json=body),
               api.complete("s", upload_id, body["parts"])]
    if url:
        replies.append(api.http.put(url, content=b"x"))
    for reply in replies:
        assert (reply.status_code, reply.text) == (404, "<Error><Code>NoSuchUpload</Code></Error>")
    assert [e["error"] for e in cloud.complete_errors] == ["NoSuchUpload"]


@pytest.mark.parametrize("presigned, sent, status", [
    (b"body", None, 400),        # required header missing
    (b"body", b"other", 400),    # a different checksum
    (b"other", b"other", 400),   # matches the URL, not the body
    (b"body", b"body", 200),
])
def test_part_checksum_rules(cloud, http, presigned, sent, status):
    upload_id = cloud.create_upload("s")
    url = cloud.part_url(upload_id, 1, checksum=b64sha(presigned))
    headers = {"x-amz-checksum-sha256": b64sha(sent)} if sent else {}
    reply = http.put(url, content=b"body", headers=headers)
    assert reply.status_code == status
    parts = cloud.uploads[upload_id].parts
    if status == 200:
        assert parts[1].checksum == b64sha(b"body")
    else:
        assert "<Code>BadDigest</Code>" in reply.text and parts == {}


def test_a_part_put_overwrites_earlier_attempts(cloud, http):
    upload_id = cloud.create_upload("s")
    for data in (b"first", b"second"):
        http.put(cloud.part_url(upload_id, 1), content=data)
    assert cloud.uploads[upload_id].parts[1].data == b"second"


# ------------------------------------------------------------------- multipart completion

CHUNKS = [b"aaaa", b"bbbb", b"cc"]


def _swap_etags(parts):
    parts[0]["ETag"], parts[1]["ETag"] = parts[1]["ETag"], parts[0]["ETag"]
    return parts


def _set(pn, key, value):
    def change(parts):
        if value is None:
            parts[pn - 1].pop(key)
        else:
            parts[pn - 1][key] = value(parts) if callable(value) else value
        return parts
    return change


@pytest.mark.parametrize("change, code, checksums", [
    (lambda p: [p[1], p[0], p[2]], "InvalidPartOrder", False),
    (lambda p: [p[0], p[0], p[1]], "InvalidPartOrder", False),
    (lambda p: [p[0], p[2]], "InvalidPart", False),
    (lambda p: p + [{"PartNumber": 4, "ETag": "x"}], "InvalidPart", False),
    (lambda p: [], "InvalidPart", False),
    (_set(2, "ETag", lambda p: p[1]["ETag"].upper()), "InvalidPart", False),
    (_swap_etags, "InvalidPart", False),
    (_set(3, "ChecksumSHA256", None), "InvalidChecksum", True),
    (_set(3, "ChecksumSHA256", b64sha(CHUNKS[0])), "InvalidChecksum", True),
    (lambda p: p[:2], "BadDigest", False),
], ids=["order", "repeat", "gap", "unstored", "empty", "etag-case", "etag-swap",
        "checksum-missing", "checksum-wrong", "digest"])
def test_completion_rejects(cloud, api, change, code, checksums):
    blob_sha, upload_id, parts = api.parts(CHUNKS, checksums=checksums)
    reply = api.complete(blob_sha, upload_id, change(parts))
    assert reply.status_code == 400 and reply.json()["error"] == code
    assert cloud.complete_errors[-1]["error"] == code
    assert blob_sha not in cloud.objects


def test_completion_stores_the_assembled_object(cloud, api):
    blob_sha, upload_id, parts = api.parts(CHUNKS, checksums=True)
    quoted = [{**p, "ETag": f'"{p["ETag"]}"'} for p in parts]
    assert api.complete(blob_sha, upload_id, quoted).json() == {}
    assert cloud.objects[blob_sha] == b"".join(CHUNKS)
    assert cloud.uploads[upload_id].state == "completed"
    cloud.strict_content = False
    other_sha, other_id, other_parts = api.parts([b"x", b"y"])
    assert api.complete(other_sha, other_id, other_parts[:1]).status_code == 200
    assert cloud.objects[other_sha] == b"x" and cloud.complete_errors == []


def test_seeded_parts_complete_like_uploaded_ones(cloud, api):
    upload_id = cloud.create_upload(sha(b"onetwo"))
    etag = cloud.seed_part(upload_id, 1, b"one")
    url = cloud.part_url(upload_id, 2)
    second = api.http.put(url, content=b"two").headers["ETag"].strip('"')
    assert cloud.put_part_numbers(upload_id) == [2]
    reply = api.complete(sha(b"onetwo"), upload_id,
                         [{"PartNumber": 1, "ETag": etag}, {"PartNumber": 2, "ETag": second}])
    assert reply.status_code == 200 and cloud.objects[sha(b"onetwo")] == b"onetwo"


# ------------------------------------------------------------------------------ ranged GET

DATA = b"0123456789"


@pytest.mark.parametrize("mode, range_, status, content_range, body", [
    ("honour", None, 200, None, DATA),
    ("honour", "bytes=4-", 206, "bytes 4-9/10", b"456789"),
    ("honour", "bytes=10-", 416, "bytes */10", None),
    ("ignore", "bytes=4-", 200, None, DATA),
    ("ignore", "bytes=10-", 200, None, DATA),
    ("lie", "bytes=4-", 206, "bytes 4-9/10", b"012345"),
    ("lie", "bytes=12-", 416, "bytes */10", None),
])
def test_ranged_get(cloud, http, mode, range_, status, content_range, body):
    cloud.range_mode = mode
    cloud.artifacts["a"] = DATA
    reply = http.get(cloud.get_url("a"), headers={"Range": range_} if range_ else {})
    assert (reply.status_code, reply.headers.get("Content-Range")) == (status, content_range)
    assert reply.headers["Content-Length"] == str(len(reply.content))
    if body is not None:
        assert reply.content == body
    else:
        assert "<Code>InvalidRange</Code>" in reply.text


@pytest.mark.parametrize("range_", ["bytes=0-3", "bytes=-3", "bytes=0-1,4-", "items=0-"])
def test_other_range_forms_are_refused(cloud, http, range_):
    cloud.artifacts["a"] = DATA
    assert http.get(cloud.get_url("a"), headers={"Range": range_}).status_code == 400
    assert [kind for kind, _ in cloud.violations] == ["bad-range"]
    cloud.allow("bad-range")


def test_unknown_objects_are_no_such_key(cloud, http):
    reply = http.get(cloud.get_url("missing"))
    assert (reply.status_code, reply.text) == (404, "<Error><Code>NoSuchKey</Code></Error>")


@pytest.mark.parametrize("members", [
    {"/etc/x": b"abs", "\\x": b"back", "a/../b": b"up", "..": b"dots", "a/..": b"trail"},
    {"d": None, "d/e/": None},
    {},
])
def test_make_zip_keeps_member_names(members):
    with zipfile.ZipFile(io.BytesIO(FakeCloud.make_zip(members))) as zf:
        infos = zf.infolist()
        expected = [n if data is not None or n.endswith("/") else n + "/"
                    for n, data in members.items()]
        assert [i.filename for i in infos] == expected
        for info, data in zip(infos, members.values(), strict=True):
            assert info.is_dir() == (data is None)
            if data is not None:
                assert zf.read(info) == data


# -------------------------------------------------------------------------- fault injection


@pytest.mark.parametrize("knobs, status, body", [
    ({"status": 503}, 503, b""),
    ({"json": None}, 200, b"null"),
    ({"body": b""}, 200, b""),
    ({"json": {"upload_id": 42}}, 200, b'{"upload_id": 42}'),
    ({"status": 500, "body": b"<html>oops</html>"}, 500, b"<html>oops</html>"),
])
def test_injected_replies_replace_the_handler(cloud, api, knobs, status, body):
    inj = cloud.inject("mp_create", **knobs)
    reply = api("POST", "/v1/jobs/j/workspace/multipart/create", json={"sha": "s"})
    assert (reply.status_code, reply.content) == (status, body)
    assert cloud.uploads == {}  # the built-in handler never ran
    assert inj.hits == 1 and inj.requests[0].status == status
    assert cloud.last().injected is inj


@pytest.mark.parametrize("knobs, status, body_logged", [
    ({"drop": True}, None, b"12345"),
    ({"drop": "early"}, None, b""),
    ({"truncate": 3}, 200, b"12345"),
])
def test_drops_and_truncation_are_transport_errors(cloud, http, knobs, status, body_logged):
    cloud.artifacts["a"] = DATA
    cloud.inject("obj_get", **knobs)
    with pytest.raises(httpx.TransportError):
        http.request("GET", cloud.get_url("a"), content=b"12345")
    req = cloud.wait_for("obj_get")[0]
    assert (req.status, req.body) == (status, body_logged)
    assert http.get(cloud.get_url("a")).content == DATA  # times=1: the next one is served


def test_delay_outlasts_a_short_client_timeout(cloud, http):
    cloud.inject("prewarm", delay=30)
    with pytest.raises(httpx.ReadTimeout):
        http.post(cloud.base + "/v1/pre-warm", headers=AUTH, timeout=0.5)
    assert cloud.inflight("prewarm") == 1
    assert http.post(cloud.base + "/v1/pre-warm", headers=AUTH).status_code == 200


def test_effect_does_the_work_then_faults_the_reply(cloud, api):
    upload_id = cloud.create_upload("s")
    cloud.inject("part_put", effect=True)
    with pytest.raises(httpx.TransportError):
        api.http.put(cloud.part_url(upload_id, 1), content=b"kept")
    assert cloud.uploads[upload_id].parts[1].data == b"kept"
    cloud.inject("data_upload", effect=True, status=500)
    assert api("POST", "/v1/data/upload", content=b"stored").status_code == 500
    assert cloud.data == {"k1": b"stored"}


def test_after_and_times_pick_which_matches_fail(cloud, api):
    third = cloud.inject("mp_presign", after=2, status=500)
    always = cloud.inject("prewarm", times=None, status=503)
    upload_id = cloud.create_upload("s")
    body = {"sha": "s", "upload_id": upload_id, "part_numbers": [1]}
    statuses = [api("POST", "/v1/jobs/j/workspace/multipart/presign", json=body).status_code
                for _ in range(4)]
    assert statuses == [200, 200, 500, 200]
    assert [r.seq for r in third.requests] == [cloud.requests_for("mp_presign")[2].seq]
    assert {api("POST", "/v1/pre-warm").status_code for _ in range(3)} == {503}
    assert always.hits == 3


def test_match_narrows_and_the_first_registered_wins(cloud, http):
    upload_id = cloud.create_upload("s")
    cloud.inject("part_put", match=lambda r: r.params["pn"] == "2", status=500)
    cloud.inject("part_put", times=None, etag="upper")
    cloud.inject(r"^/store/part/", times=None, status=599)  # never reached
    replies = {pn: http.put(cloud.part_url(upload_id, pn), content=b"p") for pn in (1, 2, 3)}
    assert [r.status_code for r in replies.values()] == [200, 500, 200]
    assert replies[3].headers["ETag"] == f'"{md5(b"p").upper()}"'
    assert sorted(cloud.uploads[upload_id].parts) == [1, 3]


def test_injected_headers_join_the_default_reply(cloud, api):
    cloud.inject("prewarm", headers={"Retry-After": "0"})
    reply = api("POST", "/v1/pre-warm")
    assert reply.json() == {"warm_session_id": "w-1"} and reply.headers["Retry-After"] == "0"


def test_problems_name_unused_injections_violations_and_errors():
    with FakeCloud() as fake, httpx.Client(timeout=5) as client:
        fake.inject("prewarm", status=500)
        fake.inject("outputs_ack", times=None, status=500)  # open-ended: never required
        fake.handle("data_init", lambda req, default: 1 / 0)
        client.post(fake.base + "/v1/pre-warm")
        assert client.post(fake.base + "/v1/data/upload-init", headers=AUTH).status_code == 500
        problems = fake.problems()
    assert len(problems) == 3
    assert problems[0].startswith("violation missing-auth: POST /v1/pre-warm")
    assert problems[1].startswith("unused injection") and "'prewarm'" in problems[1]
    assert problems[2].startswith("server error") and "ZeroDivisionError" in problems[2]


def test_handle_scripts_a_route_around_the_default(cloud, api):
    cloud.handle("data_init", lambda req, default: default().replace(status=201))
    reply = api("POST", "/v1/data/upload-init")
    assert reply.status_code == 201
    assert reply.json()["data_key"] == "k1"
    assert api.http.put(reply.json()["put_url"], content=b"d").status_code == 200


def test_handle_derives_reply_shapes_from_the_default(cloud, api):
    def null_part_two(req, default):
        urls = default().json["urls"]
        return Reply(json={"urls": {**urls, "2": None}})

    cloud.handle("mp_presign", null_part_two)
    upload_id = cloud.create_upload("s")
    urls = api("POST", "/v1/jobs/j/workspace/multipart/presign",
               json={"sha": "s", "upload_id": upload_id, "part_numbers": [1, 2]}).json()["urls"]
    assert urls["2"] is None and api.http.put(urls["1"], content=b"p").status_code == 200


# --------------------------------------------------------------------- gates and concurrency


def test_gate_holds_requests_until_released(cloud, http, pool):
    upload_id = cloud.create_upload("s")
    gate = cloud.hold("part_put")
    urls = [cloud.part_url(upload_id, pn) for pn in range(1, 5)]
    futures = [pool.submit(http.put, url, content=b"p") for url in urls]
    assert gate.arrived(4)
    assert not gate.arrived(5, timeout=0.2)
    assert (cloud.inflight("part_put"), gate.waiting) == (4, 4)
    assert not any(f.done() for f in futures)
    gate.release(1)
    cloud.wait_for("part_put", 1)
    assert sum(r.done for r in cloud.requests_for("part_put")) == 1
    gate.release()
    assert [f.result(timeout=5).status_code for f in futures] == [200] * 4
    assert cloud.max_concurrency("part_put") == 4
    assert cloud.inflight("part_put") == 0


def test_waits_are_bounded(cloud, http, pool):
    with pytest.raises(TimeoutError):
        cloud.wait_for("prewarm", timeout=0.1)
    assert not cloud.wait_inflight("prewarm", 1, timeout=0.1)
    with cloud.hold("prewarm"):
        future = pool.submit(http.post, cloud.base + "/v1/pre-warm", headers=AUTH)
        assert cloud.wait_inflight("prewarm", 1)
    assert future.result(timeout=5).status_code == 200
    assert len(cloud.wait_for("prewarm")) == 1


# -------------------------------------------------------------------------------- data API


def test_data_legacy_upload_fetch_and_delete(cloud, api):
    reply = api("POST", "/v1/data/upload", content=b"payload",
                headers={"Content-Type": "application/octet-stream"})
    key = reply.json()["data_key"]
    assert cloud.data[key] == b"payload"
    assert api("GET", f"/v1/data/{key}", auth=False).content == b"payload"
    assert api("DELETE", f"/v1/data/{key}").status_code == 204
    assert api("GET", f"/v1/data/{key}", auth=False).status_code == 404


def test_data_direct_upload_and_size_check(cloud, api):
    init = api("POST", "/v1/data/upload-init").json()
    assert api.http.put(init["put_url"], content=b"12345").status_code == 200
    for size in (5, 4):
        reply = api("POST", "/v1/data/upload-complete",
                    json={"data_key": init["data_key"], "size": size})
        assert reply.json() == {}
    assert cloud.data[init["data_key"]] == b"12345"
    assert [(e["key"], e["error"]) for e in cloud.complete_errors] == [(init["data_key"],
                                                                        "InvalidSize")]


def test_data_multipart_upload(cloud, api):
    init = api("POST", "/v1/data/upload-init-multipart").json()
    key, upload_id = init["data_key"], init["upload_id"]
    assert upload_id.startswith("du")
    presign = {"data_key": key, "upload_id": upload_id, "part_numbers": [1, 2]}
    urls = api("POST", "/v1/data/upload-presign-parts", json=presign).json()["urls"]
    parts = [{"PartNumber": pn, "ETag": api.http.put(urls[str(pn)], content=chunk).headers["ETag"]}
             for pn, chunk in ((1, b"abc"), (2, b"de"))]
    body = {"data_key": key, "upload_id": upload_id, "parts": parts}
    wrong = api("POST", "/v1/data/upload-complete-multipart", json={**body, "size": 4})
    assert wrong.status_code == 400 and wrong.json()["error"] == "InvalidSize"
    assert api("POST", "/v1/data/upload-complete-multipart", json={**body, "size": 5}).json() == {}
    assert cloud.data[key] == b"abcde"
    abort = api("POST", "/v1/data/upload-abort-multipart", json={"data_key": key,
                                                                  "upload_id": upload_id})
    assert abort.json() == {} and cloud.uploads[upload_id].state == "aborted"


def test_data_fetch_can_redirect_to_the_store(cloud_factory, http):
    cloud = cloud_factory(redirect_data=True)
    cloud.seed_data("k1", b"far away")
    first = http.get(cloud.base + "/v1/data/k1")
    assert (first.status_code, first.headers["Location"]) == (302, cloud.base + "/store/data/k1")
    assert http.get(cloud.base + "/v1/data/k1", follow_redirects=True).content == b"far away"
    assert [r.route for r in cloud.requests] == ["data_get", "data_get", "data_get_redirected"]


@pytest.mark.parametrize("flag, path", [
    ("data_legacy", "/v1/data/upload"),
    ("data_direct", "/v1/data/upload-init"),
    ("data_multipart", "/v1/data/upload-init-multipart"),
])
def test_data_routes_can_be_withdrawn(cloud, api, flag, path):
    setattr(cloud, flag, False)
    assert api("POST", path, content=b"x").status_code == 404
    assert cloud.data == {} and cloud.uploads == {}


def test_request_json_keeps_key_order(cloud, api):
    api("POST", "/v1/pre-warm", content=b'{"source_code": null, "fast": true}')
    api("POST", "/v1/pre-warm", content=b"not json")
    first, second = cloud.requests_for("prewarm")
    assert list(first.json) == ["source_code", "fast"]
    assert second.json is NOT_JSON


@pytest.mark.parametrize("configured, status, body", [
    (Reply(204), 204, b""),
    (Reply(201, json={"warm_session_id": "w-9"}), 201, b'{"warm_session_id": "w-9"}'),
    (lambda req: {"fast": req.json["fast"]}, 200, b'{"fast": true}'),
    (Raw(b"warming"), 200, b"warming"),
])
def test_prewarm_reply_is_configurable(cloud, api, configured, status, body):
    assert api("POST", "/v1/pre-warm", json={"fast": True}).json() == {"warm_session_id": "w-1"}
    cloud.prewarm_reply = configured
    reply = api("POST", "/v1/pre-warm", json={"fast": True})
    assert (reply.status_code, reply.content) == (status, body)


# ------------------------------------------------------------------------------- S3 backend


@pytest.mark.s3
def test_s3_backend_serves_the_job_api_from_moto(s3_cloud, s3, s3_bucket, http):
    api = Api(http, s3_cloud)
    small = b"small blob"
    plan = api("POST", "/v1/jobs/j/workspace/manifest",
               json={"files": [{"sha256": sha(small)}]}).json()
    assert http.put(plan["put_urls"][sha(small)], content=small,
                    headers={"x-amz-checksum-sha256": b64sha(small)}).status_code == 200
    assert s3.get_object(Bucket=s3_bucket, Key=f"blob/{sha(small)}")["Body"].read() == small

    chunks = [b"a" * (5 << 20), b"tail"]
    blob_sha, upload_id, parts = api.parts(chunks)
    bad = api.complete(blob_sha, upload_id, [{**parts[0], "ETag": "0" * 32}, parts[1]])
    assert bad.status_code == 400 and bad.json()["error"] == "InvalidPart"
    assert api.complete(blob_sha, upload_id, parts).status_code == 200
    stored = s3.get_object(Bucket=s3_bucket, Key=f"blob/{blob_sha}")["Body"].read()
    assert stored == b"".join(chunks)
    assert api("POST", "/v1/jobs/j/workspace/uploads/complete").json() == {"status": "ok"}

    s3_cloud.add_output("art", DATA, save_to="art", relpath="art")
    url = api("GET", "/v1/jobs/j/outputs/manifest").json()["artifacts"][0]["download_url"]
    ranged = http.get(url, headers={"Range": "bytes=4-"})
    assert (ranged.status_code, ranged.headers["Content-Range"], ranged.content) == (
        206, "bytes 4-9/10", b"456789")
    beyond = http.get(url, headers={"Range": "bytes=10-"})
    assert beyond.status_code == 416 and "InvalidRange" in beyond.text


# ----------------------------------------------------------------------------- module fakes


def test_fake_psutil(pool):
    fake = FakePsutil(cpu=[10.0, 20.0], memory=lambda: 42.5)
    assert [fake.cpu_percent() for _ in range(3)] == [10.0, 20.0, 20.0]
    assert fake.virtual_memory().percent == 42.5
    with pytest.raises(ValueError):
        fake.cpu_percent(interval=-1)
    waiting = pool.submit(fake.cpu_percent, interval=60)
    assert fake.wait_calls(6)
    assert not waiting.done()
    fake.tick.set()
    assert waiting.result(timeout=5) == 20.0
    fake.fail = OSError("no /proc")
    with pytest.raises(OSError):
        fake.cpu_percent()
    assert [(name, args) for name, args, _ in fake.calls] == [
        ("cpu_percent", (None,))] * 3 + [("virtual_memory", ()), ("cpu_percent", (-1,)),
                                         ("cpu_percent", (60,)), ("cpu_percent", (None,))]


def test_fake_nvml():
    fake = FakeNvml(count=2, name=[b"A", "B"], util=[10, 90], used=1, total=4)
    fake.nvmlInit()
    handles = [fake.nvmlDeviceGetHandleByIndex(i) for i in range(fake.nvmlDeviceGetCount())]
    assert [fake.nvmlDeviceGetName(h) for h in handles] == [b"A", "B"]
    assert [fake.nvmlDeviceGetUtilizationRates(h).gpu for h in handles] == [10, 90]
    assert (fake.nvmlDeviceGetMemoryInfo(handles[0]).used,
            fake.nvmlDeviceGetMemoryInfo(handles[0]).total) == (1, 4)
    fake.query_error = True
    with pytest.raises(fake.NVMLError):
        fake.nvmlDeviceGetUtilizationRates(handles[0])
    with pytest.raises(NVMLError):
        FakeNvml(init_error=NVMLError("driver")).nvmlInit()
    assert fake.log[0] == ("nvmlInit", ())


def test_fake_orvane_records_and_scripts(monkeypatch):
    fake = FakeOrvane().install(monkeypatch)
    assert sys.modules["brivel.orvane"] is fake
    portvel = fake.PortVel(api_key="k", verbose=False)
    portvel._warm_session_id = "w-1"
    portvel.verbose = True
    with portvel as entered:
        with pytest.raises(AttributeError):
            entered.run(len, "abc")
        assert portvel.run(len, "abc") == 3
    assert fake.kinds() == ["init", "verbose", "enter", "decoy", "run", "exit"]
    assert fake.events[0].kwargs == {"api_key": "k", "verbose": False}
    assert fake.wait_event("run").warm_session_id == "w-1"
    assert fake.wait_event("never", timeout=0.05) is None
    fake.cfg["run"] = lambda func, *args: ("cloud", func(*args))
    assert portvel.run(len, "ab") == ("cloud", 2)
    fake.cfg["run"] = RuntimeError("cloud down")
    with pytest.raises(RuntimeError):
        portvel.run(len, "ab")
    fake.cfg["enter"] = ValueError("enter")
    with pytest.raises(ValueError):
        portvel.__enter__()
    with fake._profile("label"):
        pass
    fake.cfg["distributions"] = {"numpy": "2.0"}
    assert fake._get_distributions_cache() == {"numpy": "2.0"}


def test_fake_flowtune(pool):
    fake = FakeFlowtune(targets=(2, 8))
    controller = fake.DepthController(floor=1, cap=16)
    pool.submit(lambda: [controller.target() for _ in range(3)]).result(timeout=5)
    controller.record(100)
    assert fake.instances == [controller] and controller.kwargs == {"floor": 1, "cap": 16}
    assert [name for name, _, _ in controller.calls] == ["target"] * 3 + ["record"]
    assert len(controller.threads) == 2  # the pool thread and this one
    assert FakeFlowtune().instances == []
    with pytest.raises(RuntimeError):
        FakeFlowtune(init_error=RuntimeError("no native")).DepthController()


@pytest.mark.parametrize("fail", [ValueError("bad"), Abort()])
def test_progress_recorder_raises_after_n_calls(fail):
    progress = Progress(fail=fail, after=1, only=frozenset({"on_progress"}))
    progress.on_file("a", 1, 2)
    progress.on_progress(10)
    with pytest.raises(type(fail)):
        progress.on_progress(20)
    bar = progress.progress_factory("upload", 30)
    bar.update(5)
    bar.close()
    assert progress.of("on_progress") == [(10,), (20,)]
    assert bar.closed and progress.threads == {threading.current_thread().name}
    assert issubclass(Abort, BaseException) and not issubclass(Abort, Exception)


# ---------------------------------------------------------------------------------- fixtures


@pytest.fixture
def stub_brivel(monkeypatch):
    """Stand-in package modules, so fixtures that patch brivel can be tested without it."""
    package = types.ModuleType("brivel")
    workspace = types.ModuleType("brivel.workspace")
    workspace.UPLOAD_MAX_RETRIES = 5
    package.workspace = workspace
    monkeypatch.setitem(sys.modules, "brivel", package)
    monkeypatch.setitem(sys.modules, "brivel.workspace", workspace)
    return workspace


def test_clean_env_and_cache_dir(clean_env, cache_dir, tmp_path_factory):
    assert not [n for n in os.environ if n.startswith(("BRIVEL_", "PORTVEL_"))
                and n != "BRIVEL_CACHE_DIR"]
    home = os.path.realpath(os.environ["HOME"])
    assert os.path.isdir(home) and home.startswith(str(tmp_path_factory.getbasetemp()))
    assert os.environ["BRIVEL_CACHE_DIR"] == str(cache_dir) and cache_dir.is_dir()


def test_write_journal(write_journal, cache_dir):
    path = write_journal("abc", {"upload_id": "u1", "part_size": 1024, "checksum_parts": False},
                         [{"part": 1, "etag": "e1", "checksum": None}, "{broken"])
    assert path == cache_dir / "uploads" / "abc.json"
    lines = path.read_text().splitlines()
    assert json.loads(lines[0])["upload_id"] == "u1"
    assert json.loads(lines[1]) == {"part": 1, "etag": "e1", "checksum": None}
    assert lines[2] == "{broken"


def test_no_backoff_records_instead_of_sleeping(stub_brivel, no_backoff):
    stub_brivel._sleep_backoff(3)
    started = time.monotonic()
    time.sleep(30)
    assert time.monotonic() - started < 5
    assert (no_backoff.attempts, no_backoff.sleeps) == ([3], [30])


def test_set_const(stub_brivel, set_const):
    set_const("brivel.workspace", "UPLOAD_MAX_RETRIES", 1)
    assert stub_brivel.UPLOAD_MAX_RETRIES == 1
    with pytest.raises(AttributeError):
        set_const(stub_brivel, "NO_SUCH_CONSTANT", 1)


def test_run_python_builds_the_environment_from_scratch(run_python, monkeypatch):
    monkeypatch.setenv("LEAKY", "1")
    code = "import json, os; print(json.dumps([sorted(os.environ), os.environ['HOME']]))"
    result = run_python(code, env={"PORTVEL_X": "7"}, timeout=30)
    assert result.returncode == 0, result.stderr
    names, home = json.loads(result.stdout)
    passed = {name for name in _CHILD_PASSED if name in os.environ}  # the package under test
    assert set(names) - {"LC_CTYPE"} == {"PATH", "HOME", "PORTVEL_X"} | passed  # Python may add LC_CTYPE
    assert home != os.environ["HOME"] and os.path.isdir(home)


def test_join_new_threads(join_new_threads, cloud, http):
    before = threading.enumerate()
    go = threading.Event()
    worker = threading.Thread(target=go.wait, args=(10,))
    worker.start()
    http.post(cloud.base + "/v1/pre-warm", headers=AUTH)  # leaves a kept-alive server thread
    with pytest.raises(AssertionError, match=re.escape(worker.name)):
        join_new_threads(before, timeout=0.1)
    go.set()
    join_new_threads(before, timeout=5)
    assert not worker.is_alive()


@pytest.mark.parametrize("variant", [{}, {"no_status": True}, {"text_raises": True}])
def test_status_error(status_error, variant):
    err = status_error(503, "busy", **variant)
    assert isinstance(err, httpx.HTTPStatusError)
    assert isinstance(err.response, httpx.Response) and err.request.url.host == "127.0.0.1"
    if variant.get("no_status"):
        assert not hasattr(err.response, "status_code")
    else:
        assert err.response.status_code == 503
    if variant.get("text_raises"):
        with pytest.raises(httpx.ResponseNotRead):
            _ = err.response.text
    else:
        assert err.response.text == "busy"


def test_tree_builders(tree):
    assert stat.S_ISFIFO(tree.fifo("pipe").stat().st_mode)
    dangling = tree.dangling_link("gone")
    assert dangling.is_symlink() and not dangling.exists()
    (tree.dir("real") / "f").write_text("x")
    linked = tree.symlinked_dir("link", "real")
    assert linked.is_symlink() and (linked / "f").read_text() == "x"
    assert tree.gitignore(["a", "b"], crlf=True).read_bytes() == b"a\r\nb\r\n"
    assert tree.gitignore(["c"], bom=True, rel="sub/.gitignore").read_bytes() == b"\xef\xbb\xbfc\n"
    if os.geteuid() != 0:
        locked = tree.unreadable_dir("locked", {"f": "x"})
        with pytest.raises(PermissionError):
            list(locked.iterdir())


def test_write_module_imports_fresh_code(write_module):
    assert write_module("user_mod", "VALUE = 1\n").VALUE == 1
    assert write_module("user_mod", "VALUE = 2\n").VALUE == 2


def test_brivel_logs(brivel_logs):
    logging.getLogger("brivel.workspace").info("retrying part %d", 3)
    assert [r.getMessage() for r in brivel_logs.buffer] == ["retrying part 3"]
