"""WorkspaceClient.download_artifact_to_file against the service double: streamed chunks,
ranged resume, what the store's range answers are trusted for, retries."""

import gzip
import hashlib
import os

import httpx
import pytest

import brivel.workspace as ws
from support.cloud import Reply
from support.fakes import Abort

DATA = os.urandom(10_000)


@pytest.fixture
def art(cloud):
    """The URL of DATA in the store."""
    cloud.artifacts["art"] = DATA
    return cloud.get_url("art")


def ranges(cloud):
    return [r.headers.get("Range") for r in cloud.requests_for("obj_get")]


def test_fresh_download_streams_chunks(cloud, client, art, tmp_path, set_const, progress):
    set_const(ws, "_DOWNLOAD_CHUNK_BYTES", 4096)
    dest = tmp_path / "a.part"
    assert client.download_artifact_to_file(art, dest, on_progress=progress.on_progress) is None
    assert dest.read_bytes() == DATA
    assert ranges(cloud) == [None]
    assert progress.of("on_progress") == [(4096,), (4096,), (1808,)]


@pytest.mark.parametrize("on_disk", [b"", DATA[:1234]])
def test_resume_asks_only_for_the_missing_tail(cloud, client, art, tmp_path, progress, on_disk):
    dest = tmp_path / "a.part"
    dest.write_bytes(on_disk)
    client.download_artifact_to_file(art, dest, on_progress=progress.on_progress)
    assert dest.read_bytes() == DATA
    assert ranges(cloud) == [f"bytes={len(on_disk)}-" if on_disk else None]
    assert sum(n for (n,) in progress.of("on_progress")) == len(DATA) - len(on_disk)


def test_empty_object_makes_an_empty_file(cloud, client, tmp_path):
    cloud.artifacts["empty"] = b""
    dest = tmp_path / "e.part"
    client.download_artifact_to_file(cloud.get_url("empty"), dest)
    assert dest.read_bytes() == b""


def test_coded_body_is_written_decoded(cloud, client, art, tmp_path, progress, set_const):
    set_const(ws, "_DOWNLOAD_CHUNK_BYTES", 4096)
    packed = gzip.compress(DATA)
    cloud.handle("obj_get", lambda req, default: Reply(body=packed, headers={"Content-Encoding": "gzip"}))
    dest = tmp_path / "a.part"
    client.download_artifact_to_file(art, dest, on_progress=progress.on_progress)
    assert dest.read_bytes() == DATA
    assert progress.of("on_progress") == [(4096,), (4096,), (1808,)]


def test_ignored_range_rewrites_the_file(cloud, client, art, tmp_path, progress):
    cloud.range_mode = "ignore"
    dest = tmp_path / "a.part"
    dest.write_bytes(b"x" * 500)
    client.download_artifact_to_file(art, dest, on_progress=progress.on_progress)
    assert dest.read_bytes() == DATA
    assert sum(n for (n,) in progress.of("on_progress")) == len(DATA)


def test_whole_file_on_disk_is_complete_by_416(cloud, client, art, tmp_path, progress):
    dest = tmp_path / "a.part"
    dest.write_bytes(DATA)
    client.download_artifact_to_file(art, dest, on_progress=progress.on_progress)
    assert [r.status for r in cloud.requests_for("obj_get")] == [416]
    assert dest.read_bytes() == DATA and progress.events == []


def test_416_without_content_range_keeps_the_file(cloud, client, art, tmp_path):
    cloud.handle("obj_get", lambda req, default: Reply(416, body=b""))
    dest = tmp_path / "a.part"
    dest.write_bytes(b"whatever")
    client.download_artifact_to_file(art, dest)
    assert dest.read_bytes() == b"whatever"


# A partial file the store's answer does not confirm starts over from byte 0, without Range.
@pytest.mark.parametrize("on_disk, reply", [
    # Longer than the object: 416 names another size.
    (DATA + b"tail", None),
    # 206 that starts somewhere else than the end of the file.
    (DATA[:100], lambda req, default: Reply(206, body=DATA,
                                             headers={"Content-Range": f"bytes 0-{len(DATA) - 1}/{len(DATA)}"})),
    # 416 whose size differs from the file's, for a file shorter than the object.
    (b"y" * 100, lambda req, default: (
        Reply(416, headers={"Content-Range": f"bytes */{len(DATA)}"}) if "Range" in req.headers else default())),
], ids=["longer-416", "206-elsewhere", "416-other-size"])
def test_unconfirmed_partial_file_starts_over(cloud, client, art, tmp_path, on_disk, reply):
    if reply is not None:
        cloud.handle("obj_get", reply)
    dest = tmp_path / "a.part"
    dest.write_bytes(on_disk)
    client.download_artifact_to_file(art, dest)
    assert dest.read_bytes() == DATA
    assert ranges(cloud) == [f"bytes={len(on_disk)}-", None]


def test_206_without_content_range_is_appended(cloud, client, art, tmp_path):
    def tail_only(req, default):
        start = int(req.headers["Range"][6:-1])
        return Reply(206, body=DATA[start:])
    cloud.handle("obj_get", tail_only)
    dest = tmp_path / "a.part"
    dest.write_bytes(DATA[:100])
    client.download_artifact_to_file(art, dest)
    assert dest.read_bytes() == DATA and ranges(cloud) == ["bytes=100-"]


def test_lying_range_is_appended_as_confirmed(cloud, client, art, tmp_path):
    # The header claims the right offset; only the content check of download_outputs can tell.
    cloud.range_mode = "lie"
    dest = tmp_path / "a.part"
    dest.write_bytes(DATA[:100])
    client.download_artifact_to_file(art, dest)
    assert dest.read_bytes() == DATA[:100] + DATA[:len(DATA) - 100]


def test_cut_body_resumes_after_backoff(cloud, client, art, tmp_path, no_backoff, set_const):
    set_const(ws, "_DOWNLOAD_CHUNK_BYTES", 1000)
    cloud.inject("obj_get", truncate=3000)
    dest = tmp_path / "a.part"
    client.download_artifact_to_file(art, dest)
    assert dest.read_bytes() == DATA
    assert ranges(cloud) == [None, "bytes=3000-"]
    assert no_backoff.attempts == [0]


def test_transient_failures_exhaust_attempts(cloud, client, art, tmp_path, no_backoff, set_const):
    set_const(ws, "UPLOAD_MAX_RETRIES", 3)
    cloud.inject("obj_get", status=503, times=3)
    with pytest.raises(httpx.HTTPStatusError) as info:
        client.download_artifact_to_file(art, tmp_path / "a.part")
    assert info.value.response.status_code == 503
    assert no_backoff.attempts == [0, 1]


@pytest.mark.parametrize("status", [403, 404, 400])
def test_other_statuses_fail_at_once(cloud, client, art, tmp_path, no_backoff, status):
    cloud.inject("obj_get", status=status)
    with pytest.raises(httpx.HTTPStatusError):
        client.download_artifact_to_file(art, tmp_path / "a.part")
    assert cloud.count("obj_get") == 1 and no_backoff.attempts == []


def test_416_without_a_partial_file_fails(cloud, client, art, tmp_path, no_backoff):
    cloud.inject("obj_get", status=416)
    with pytest.raises(httpx.HTTPStatusError):
        client.download_artifact_to_file(art, tmp_path / "a.part")
    assert no_backoff.attempts == []


@pytest.mark.parametrize("retries", [0, -2])
def test_at_least_one_attempt(cloud, client, art, tmp_path, set_const, retries):
    set_const(ws, "UPLOAD_MAX_RETRIES", retries)
    dest = tmp_path / "a.part"
    client.download_artifact_to_file(art, dest)
    assert dest.read_bytes() == DATA and cloud.count("obj_get") == 1


def test_progress_errors_are_ignored_but_interrupts_propagate(cloud, client, art, tmp_path, set_const, progress):
    set_const(ws, "_DOWNLOAD_CHUNK_BYTES", 4096)
    progress.fail = ValueError("ignored")
    dest = tmp_path / "a.part"
    client.download_artifact_to_file(art, dest, on_progress=progress.on_progress)
    assert dest.read_bytes() == DATA
    progress.fail, progress.after = Abort(), 0
    dest.unlink()
    with pytest.raises(Abort):
        client.download_artifact_to_file(art, dest, on_progress=progress.on_progress)
    assert DATA.startswith(dest.read_bytes()) and dest.stat().st_size >= 4096  # what was written stays


def test_missing_directory_is_an_os_error(cloud, client, art, tmp_path, no_backoff):
    with pytest.raises(FileNotFoundError):
        client.download_artifact_to_file(art, tmp_path / "no" / "a.part")
    assert no_backoff.attempts == []


@pytest.mark.parametrize("call, message", [
    (lambda c, url, d: c.download_artifact_to_file(url.encode(), d), "get_url"),
    (lambda c, url, d: c.download_artifact_to_file(url, d, None), "positional"),
    (lambda c, url, d: c.download_artifact_to_file(url, d, progress=None), "unexpected keyword"),
])
def test_bad_arguments_fail_before_any_request(cloud, client, art, tmp_path, call, message):
    with pytest.raises(TypeError, match=message):
        call(client, art, tmp_path / "a.part")
    assert cloud.count("obj_get") == 0


def test_no_credentials_on_the_store(cloud, client, art, tmp_path):
    client.download_artifact_to_file(art, tmp_path / "a.part")
    assert "Authorization" not in cloud.last("obj_get").headers
    assert hashlib.sha256((tmp_path / "a.part").read_bytes()).hexdigest() == hashlib.sha256(DATA).hexdigest()
