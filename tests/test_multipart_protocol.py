"""The four job-API calls of the multipart protocol, against the service double."""

import httpx
import pytest

import brivel.workspace as ws
from support import Raw

pytestmark = pytest.mark.timeout(60)

SHA = "ab" * 32


@pytest.fixture
def ep(cloud):
    return cloud.mp_endpoints("j")


def test_round_trip_paths_bodies_and_headers(cloud, client, ep):
    created = client.multipart_create(ep["create_endpoint"], SHA)
    upload_id = created["upload_id"]
    urls = client.multipart_presign_parts(ep["presign_parts_endpoint"], SHA, upload_id, [2, 1])
    assert list(urls) == ["2", "1"] and all(u.startswith(cloud.base + "/store/part/") for u in urls.values())
    client._transfer_http_client().put(urls["1"], content=b"abc").raise_for_status()
    with pytest.raises(httpx.HTTPStatusError) as err:  # content check: the sha names other bytes
        client.multipart_complete(ep["complete_endpoint"], SHA, upload_id,
                                  [{"PartNumber": 1, "ETag": "900150983cd24fb0d6963f7d28e17f72"}])
    assert err.value.response.status_code == 400
    assert client.multipart_abort(ep["abort_endpoint"], SHA, upload_id) is None
    reqs = [r for r in cloud.requests if r.route.startswith("mp_")]
    assert [r.route for r in reqs] == ["mp_create", "mp_presign", "mp_complete", "mp_abort"]
    assert [list(r.json) for r in reqs] == [
        ["sha"], ["sha", "upload_id", "part_numbers"], ["sha", "upload_id", "parts"], ["sha", "upload_id"]]
    assert reqs[1].json["part_numbers"] == [2, 1]
    for r in reqs:
        assert r.raw_path == "/v1/jobs/j/workspace/multipart/" + r.route[3:]
        assert r.headers["Authorization"] == "Bearer test-key"
        assert r.headers["Content-Type"] == "application/json"
    assert cloud.uploads[upload_id].state == "aborted"
    cloud.complete_errors.clear()


@pytest.mark.parametrize("checksums, sent", [
    (None, None), ({}, None), ({"1": "X" * 44}, {"1": "X" * 44})])
def test_presign_checksums_only_when_given(cloud, client, ep, checksums, sent):
    upload_id = cloud.create_upload(SHA)
    # the fifth argument may be given by position
    client.multipart_presign_parts(ep["presign_parts_endpoint"], SHA, upload_id, [1], checksums)
    body = cloud.last("mp_presign").json
    assert list(body) == ["sha", "upload_id", "part_numbers"] + (["checksums"] if sent else [])
    assert body.get("checksums") == sent


@pytest.mark.parametrize("reply, outcome", [
    (None, {}),
    ({}, {}),
    ({"urls": None}, None),
    ({"urls": {"1": "u"}}, {"1": "u"}),
    ({"urls": []}, TypeError("Expected dict, got list")),
    ([1], AttributeError()),
    (Raw(b"<html>"), ValueError()),
])
def test_presign_reply_shapes(cloud, client, ep, reply, outcome):
    cloud.inject("mp_presign", json=reply) if not isinstance(reply, Raw) else cloud.inject("mp_presign", body=reply)
    call = lambda: client.multipart_presign_parts(ep["presign_parts_endpoint"], SHA, "u1", [1])  # noqa: E731
    if isinstance(outcome, Exception):
        with pytest.raises(type(outcome), match=str(outcome) or None):
            call()
    else:
        assert call() == outcome


@pytest.mark.parametrize("reply, outcome", [
    (None, None), ({"skip": True}, {"skip": True}), ([], TypeError("Expected dict, got list"))])
def test_create_reply_checked(cloud, client, ep, reply, outcome):
    cloud.inject("mp_create", json=reply)
    if isinstance(outcome, Exception):
        with pytest.raises(TypeError, match=str(outcome)):
            client.multipart_create(ep["create_endpoint"], SHA)
    else:
        assert client.multipart_create(ep["create_endpoint"], SHA) == outcome


@pytest.mark.parametrize("fault", [dict(status=404), dict(status=500), dict(drop=True)])
def test_abort_is_best_effort(cloud, client, ep, fault):
    cloud.inject("mp_abort", **fault)
    assert client.multipart_abort(ep["abort_endpoint"], SHA, "u1") is None


def test_abort_with_server_unreachable():
    with ws.WorkspaceClient("http://127.0.0.1:9", "k", timeout=2) as c:
        assert c.multipart_abort("/abort", SHA, "u1") is None


@pytest.mark.parametrize("call, args, name", [
    ("multipart_presign_parts", ("/p", SHA, "u", (1,)), "part_numbers"),
    ("multipart_complete", ("/c", SHA, "u", ()), "parts"),
    ("multipart_abort", ("/a", SHA, None), "upload_id"),
    ("multipart_create", (b"/c", SHA), "endpoint"),
    ("multipart_presign_parts", ("/p", SHA, "u", [1], [("1", "x")]), "checksums"),
])
def test_argument_checks_before_any_request(cloud, client, call, args, name):
    with pytest.raises(TypeError, match=f"Argument '{name}' has incorrect type"):
        getattr(client, call)(*args)
    assert cloud.requests == []


def test_interpreter_messages(client):
    with pytest.raises(TypeError, match=r"^WorkspaceClient.multipart_presign_parts\(\) takes from 5 to 6 "
                                        r"positional arguments but 7 were given$"):
        client.multipart_presign_parts("/p", SHA, "u", [1], None, 6)
    with pytest.raises(TypeError, match=r"missing 1 required positional argument: 'sha'"):
        client.multipart_create("/c")


def test_endpoint_joined_without_separator(client):
    # The base's trailing "/" was removed, so a path without a leading "/" runs into the port.
    with pytest.raises(httpx.InvalidURL, match=r"v1"):
        client.multipart_create("v1/jobs/j/workspace/multipart/create", SHA)
