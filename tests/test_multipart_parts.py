"""Part data and the part PUT: region digests, ETag checks, retries and re-mints."""

import hashlib
import os

import httpx
import pytest

import brivel.workspace as ws
from support.multipart import b64sha

pytestmark = pytest.mark.timeout(60)


@pytest.fixture
def part(cloud):
    """(upload_id, url, data) of part 1 of a live upload."""
    upload_id = cloud.create_upload("s" * 64)
    data = os.urandom(3000)
    return upload_id, cloud.part_url(upload_id, 1), data


# ------------------------------------------------------------------------ region digest


@pytest.mark.parametrize("offset, length, expect", [
    (0, 10_000, slice(0, 10_000)),
    (100, 50, slice(100, 150)),
    (9_000, 5_000, slice(9_000, 10_000)),   # past the end: the bytes that exist
    (10_000, 10, slice(0, 0)),              # at the end
    (5, 0, slice(0, 0)),
    (5, -3, slice(0, 0)),
    (2.9, 3.7, slice(2, 5)),                # numbers are cut to int
])
def test_region_digest(tmp_path, offset, length, expect):
    data = os.urandom(10_000)
    path = tmp_path / "f"
    path.write_bytes(data)
    assert ws._sha256_region_b64(path, offset, length) == b64sha(data[expect])
    assert ws._sha256_region_b64(path=str(path), offset=offset, length=length) == b64sha(data[expect])


def test_region_digest_errors(tmp_path):
    with pytest.raises(FileNotFoundError):
        ws._sha256_region_b64(tmp_path / "missing", 0, 0)
    with pytest.raises(TypeError, match="Argument 'offset' has incorrect type"):
        ws._sha256_region_b64(tmp_path, "0", 1)
    with pytest.raises(IsADirectoryError):
        ws._sha256_region_b64(tmp_path, 0, 1)


def test_region_digest_across_read_pieces(tmp_path):
    data = os.urandom((8 << 20) + 3)
    path = tmp_path / "f"
    path.write_bytes(data)
    assert ws._sha256_region_b64(path, 1, 8 << 20) == b64sha(data[1:(8 << 20) + 1])
    assert ws._sha256_region_b64(path, 0, len(data)) == b64sha(data)


# ---------------------------------------------------------------------------- ETag check


@pytest.mark.parametrize("mode, expect", [
    ("md5", lambda m: m),
    ("upper", lambda m: m.upper()),
    ("bare", lambda m: m),
    ("doubled", lambda m: m),
    ("weak", lambda m: f'W/"{m}'),
    ("multipart", lambda m: f"{m}-3"),
    ("nonhex32", lambda m: "g" + m[1:]),
    ("empty", lambda m: ""),
    ("none", lambda m: ""),
    ("lowername", lambda m: m),
])
def test_etag_modes(cloud, client, part, mode, expect):
    cloud.etag_mode = mode
    upload_id, url, data = part
    assert client._put_part_bytes(url, data) == expect(hashlib.md5(data).hexdigest())
    assert cloud.part_attempts(upload_id, 1) == 1
    assert "Authorization" not in cloud.last("part_put").headers


def test_wrong_etag_is_retried_then_raised(cloud, client, part, no_backoff):
    cloud.etag_mode = "wrong"
    upload_id, url, data = part
    md5 = hashlib.md5(data).hexdigest()
    with pytest.raises(RuntimeError) as err:
        client._put_part_bytes(url, data)
    assert str(err.value) == f"Part ETag {'0' * 32} != md5 {md5} (3000 bytes)"
    assert cloud.part_attempts(upload_id, 1) == 5 and no_backoff.attempts == [0, 1, 2, 3]


def test_wrong_etag_once_then_right(cloud, client, part, no_backoff):
    cloud.etag_mode = lambda req, upload_id, pn, attempt: "wrong" if attempt == 0 else "md5"
    upload_id, url, data = part
    assert client._put_part_bytes(url, data) == hashlib.md5(data).hexdigest()
    assert no_backoff.attempts == [0]


@pytest.mark.parametrize("retries, attempts", [(1, 1), (0, 1), (-3, 1), (3, 3)])
def test_attempts_never_below_one(cloud, client, part, no_backoff, set_const, retries, attempts):
    """No attempt at all would return an empty ETag for a part never sent."""
    set_const(ws, "UPLOAD_MAX_RETRIES", retries)
    upload_id, url, data = part
    cloud.inject("part_put", status=503, times=None)
    with pytest.raises(httpx.HTTPStatusError):
        client._put_part_bytes(url, data)
    assert cloud.part_attempts(upload_id, 1) == attempts
    assert no_backoff.attempts == list(range(attempts - 1))
    cloud.injections.clear()


def test_transient_then_success_with_checksum(cloud, client, no_backoff):
    upload_id = cloud.create_upload("s" * 64)
    data = b"x" * 100
    url = cloud.part_url(upload_id, 2, checksum=b64sha(data))
    cloud.inject("part_put", status=500)
    assert client._put_part_bytes(url, data, checksum_b64=b64sha(data)) == hashlib.md5(data).hexdigest()
    assert [r.headers["x-amz-checksum-sha256"] for r in cloud.requests_for("part_put")] == [b64sha(data)] * 2
    assert no_backoff.attempts == [0]


@pytest.mark.parametrize("checksum", [None, ""])
def test_no_checksum_header_when_empty(cloud, client, part, checksum):
    _, url, data = part
    client._put_part_bytes(url, data, checksum_b64=checksum)
    assert "x-amz-checksum-sha256" not in cloud.last("part_put").headers


def test_expired_url_reminted_at_once(cloud, client, part, no_backoff):
    upload_id, url, data = part
    cloud.expire(url)
    fresh = []

    def remint():
        fresh.append(cloud.part_url(upload_id, 1))
        return fresh[-1]
    assert client._put_part_bytes(url, data, remint=remint) == hashlib.md5(data).hexdigest()
    assert len(fresh) == 1 and no_backoff.attempts == []
    assert cloud.last("part_put").query["sig"] in fresh[0]


def test_expired_every_time(cloud, client, part, no_backoff):
    upload_id, url, data = part
    cloud.expire(url)
    calls = []

    def remint():
        calls.append(1)
        new = cloud.part_url(upload_id, 1, expired=True)
        return new
    with pytest.raises(httpx.HTTPStatusError) as err:
        client._put_part_bytes(url, data, remint=remint)
    assert err.value.response.status_code == 403
    assert len(calls) == 5 and cloud.part_attempts(upload_id, 1) == 5 and no_backoff.attempts == []


def test_failing_remint_raises_the_expiry(cloud, client, part, no_backoff):
    _, url, data = part
    cloud.expire(url)

    def remint():
        raise ValueError("presign failed")
    with pytest.raises(httpx.HTTPStatusError) as err:
        client._put_part_bytes(url, data, remint=remint)
    assert err.value.response.status_code == 403 and cloud.count("part_put") == 1


def test_unknown_upload_raised_at_once(cloud, client, part, no_backoff):
    upload_id, url, data = part
    cloud.kill_upload(upload_id)
    with pytest.raises(httpx.HTTPStatusError) as err:
        client._put_part_bytes(url, data)
    assert err.value.response.status_code == 404 and ws._is_no_such_upload(err.value)
    assert cloud.count("part_put") == 1 and no_backoff.attempts == []


@pytest.mark.parametrize("args, kwargs, message", [
    ((b"http://x", b""), {}, "Argument 'url' has incorrect type"),
    (("http://x", bytearray(b"x")), {}, "Argument 'data' has incorrect type"),
    (("http://x", b"x"), {"checksum_b64": 5}, "Argument 'checksum_b64' has incorrect type"),
    (("http://x", b"x", None), {}, r"takes 3 positional arguments but 4 were given"),
    (("http://x",), {}, "missing 1 required positional argument: 'data'"),
])
def test_argument_checks(cloud, client, args, kwargs, message):
    with pytest.raises(TypeError, match=message):
        client._put_part_bytes(*args, **kwargs)
    assert cloud.requests == []


def test_part_bytes_released_when_the_put_returns(cloud, client, part):
    """Only the in-flight parts may hold memory: nothing keeps a sent part's bytes alive."""
    import gc
    import sys
    _, url, data = part
    before = sys.getrefcount(data)
    gc.disable()
    try:
        client._put_part_bytes(url, data)
        assert sys.getrefcount(data) == before
    finally:
        gc.enable()
