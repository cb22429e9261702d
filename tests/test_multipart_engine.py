"""The resumable multipart engine and its part dispatch, end to end against the double."""

import concurrent.futures
import hashlib
import json
import os
import signal
import subprocess
import sys
import textwrap
import threading
import time

import httpx
import pytest

import brivel.workspace as ws
from support.fixtures import child_env
from support.multipart import b64sha, client  # noqa: F401  (client is a fixture)

pytestmark = pytest.mark.timeout(120)

KIB, MIB = 1024, 1 << 20


@pytest.fixture
def upload(cloud, client):
    """``upload(path, data, sha, part_size, **kw)`` through the job's multipart endpoints."""
    def run(path, data, sha, part_size, **kw):
        return client.upload_blob_multipart(sha, path, len(data), part_size, cloud.mp_endpoints("j"), **kw)
    return run


def journal_of(cache_dir, sha):
    return cache_dir / "uploads" / f"{sha}.json"


def only_upload(cloud):
    (upload_id,) = cloud.uploads
    return upload_id


# ------------------------------------------------------------------------- main road


@pytest.mark.parametrize("checksum_parts", [False, True])
def test_40_mib_in_1_mib_parts(cloud, upload, random_file, cache_dir, checksum_parts):
    path, data, sha = random_file(40 * MIB)
    assert upload(path, data, sha, MIB, checksum_parts=checksum_parts) is None
    assert hashlib.sha256(cloud.objects[sha]).hexdigest() == sha
    upload_id = only_upload(cloud)
    assert sorted(cloud.put_part_numbers(upload_id)) == list(range(1, 41))
    parts = cloud.last("mp_complete").json["parts"]
    assert [p["PartNumber"] for p in parts] == list(range(1, 41))
    chunks = [data[i:i + MIB] for i in range(0, len(data), MIB)]
    if checksum_parts:
        assert [p["ChecksumSHA256"] for p in parts] == [b64sha(c) for c in chunks]
        presigns = cloud.requests_for("mp_presign")
        assert all(set(r.json["checksums"]) == {str(n) for n in r.json["part_numbers"]} for r in presigns)
        assert len(presigns[0].json["part_numbers"]) == 40  # max(8, pool) with 40 parts to go
    else:
        assert all(list(p) == ["PartNumber", "ETag"] for p in parts)
        assert [len(r.json["part_numbers"]) for r in cloud.requests_for("mp_presign")] == [40]
    assert cloud.complete_errors == [] and not journal_of(cache_dir, sha).exists()


def test_empty_file_is_one_empty_part(cloud, upload, random_file, cache_dir):
    path, data, sha = random_file(0)
    upload(path, data, sha, MIB, checksum_parts=True)
    assert cloud.objects[sha] == b""
    assert cloud.last("mp_presign").json["checksums"] == {"1": b64sha(b"")}
    assert cloud.last("part_put").body == b""


def test_stored_object_is_skipped(cloud, upload, random_file, cache_dir):
    path, data, sha = random_file(3 * KIB)
    cloud.objects[sha] = data
    upload(path, data, sha, KIB)
    assert [r.route for r in cloud.requests] == ["mp_create"]


# ------------------------------------------------------------------------------ limits


@pytest.mark.parametrize("size, part_size, message", [
    (1 + 10000 * MIB, MIB, "data.bin needs 10001 parts at 1 MiB/part, over the 10000-part limit. Raise "
     "PORTVEL_MULTIPART_PART_SIZE_BYTES (and PORTVEL_UPLOAD_MEMORY_BUDGET_BYTES to match) or split the file."),
    (20000 * 3 * MIB // 2, 3 * MIB // 2, "data.bin needs 20000 parts at 2 MiB/part"),
    (20000 * 5 * MIB // 2, 5 * MIB // 2, "data.bin needs 20000 parts at 2 MiB/part"),
    (5492060580742, 1 << 30, "data.bin is 5.00 TiB, over the 4.995 TiB R2 single-object limit. "
     "Split the file into smaller objects."),
])
def test_limits_checked_before_any_request(cloud, client, tmp_path, size, part_size, message):
    with pytest.raises(ValueError) as err:
        client.upload_blob_multipart("a" * 64, tmp_path / "data.bin", size, part_size, cloud.mp_endpoints("j"))
    assert str(err.value).startswith(message)
    assert cloud.requests == []


def test_exactly_max_parts_pass_the_limit(cloud, client, tmp_path, set_const):
    set_const(ws, "MULTIPART_MAX_PARTS", 4)
    with pytest.raises(FileNotFoundError):  # the limits passed; the missing file stops it next
        client.upload_blob_multipart("a" * 64, tmp_path / "data.bin", 4 * KIB, KIB, cloud.mp_endpoints("j"))
    with pytest.raises(ValueError, match="needs 5 parts"):
        client.upload_blob_multipart("a" * 64, tmp_path / "data.bin", 4 * KIB + 1, KIB, cloud.mp_endpoints("j"))


@pytest.mark.parametrize("part_size, error", [(0, ZeroDivisionError), (-KIB, ValueError)])
def test_part_size_must_be_positive(cloud, client, random_file, part_size, error):
    path, data, sha = random_file(KIB)
    with pytest.raises(error):
        client.upload_blob_multipart(sha, path, len(data), part_size, cloud.mp_endpoints("j"))
    assert cloud.requests == []


@pytest.mark.parametrize("args, kwargs, message", [
    ((b"s", "p", 1, 1, {}), {}, "Argument 'sha' has incorrect type"),
    (("s", "p", "1", 1, {}), {}, "Argument 'size' has incorrect type"),
    (("s", "p", 1, 1, []), {}, "Argument 'endpoints' has incorrect type"),
    (("s", "p", 1, 1, {}, False), {}, r"takes 6 positional arguments but 7 were given"),
    (("s", "p", 1, 1, {}), {"depth": 3}, "got an unexpected keyword argument 'depth'"),
    (("s", "p", 1, 1, {}), {"concurrency": None}, "Argument 'concurrency' has incorrect type"),
])
def test_argument_checks(cloud, client, args, kwargs, message):
    with pytest.raises(TypeError, match=message):
        client.upload_blob_multipart(*args, **kwargs)
    assert cloud.requests == []


# ------------------------------------------------------------ a file that changed (mended)


def test_file_shrunk_since_the_manifest(cloud, upload, random_file, cache_dir):
    path, data, sha = random_file(4 * KIB)
    path.write_bytes(data[:3 * KIB])
    with pytest.raises(RuntimeError, match=r"^Local file .*data\.bin changed during upload \(size 3072, expected 4096\)"):
        upload(path, data, sha, KIB)
    assert cloud.requests == []


def test_file_shrinking_during_the_upload(cloud, upload, random_file, cache_dir, set_const):
    """A part read short is never sent: it would store other bytes under the content hash."""
    set_const(ws, "_UPLOAD_ADAPTIVE", False)
    set_const(ws, "UPLOAD_TARGET_INFLIGHT_PARTS_SMALL", 1)
    path, data, sha = random_file(4 * KIB)
    with cloud.hold("part_put", match=lambda r: r.params["pn"] == "2") as gate, \
            concurrent.futures.ThreadPoolExecutor(1) as ex:
        fut = ex.submit(upload, path, data, sha, KIB)
        assert gate.arrived(1)
        with open(path, "r+b") as f:
            f.truncate(2 * KIB + 100)
        gate.release()
        with pytest.raises(RuntimeError, match=r"changed during upload \(part 3 has 100 of 1024 bytes\)"):
            fut.result(timeout=30)
    upload_id = only_upload(cloud)
    assert sorted(cloud.put_part_numbers(upload_id)) == [1, 2]
    assert cloud.count("mp_complete") == 0 and cloud.count("mp_abort") == 1
    assert sha not in cloud.objects and not journal_of(cache_dir, sha).exists()


def test_file_rewritten_in_place_during_the_upload(cloud, upload, random_file, cache_dir):
    path, data, sha = random_file(4 * KIB)
    with cloud.hold("part_put", match=lambda r: r.params["pn"] == "4") as gate, \
            concurrent.futures.ThreadPoolExecutor(1) as ex:
        fut = ex.submit(upload, path, data, sha, KIB)
        assert gate.arrived(1)
        st = os.stat(path)
        os.utime(path, ns=(st.st_atime_ns, st.st_mtime_ns + 1_000_000_000))
        gate.release()
        with pytest.raises(RuntimeError, match="size or modification time changed"):
            fut.result(timeout=30)
    assert cloud.count("mp_complete") == 0 and cloud.count("mp_abort") == 1


# -------------------------------------------------------------------- failures and retries


def test_failure_aborts_after_every_inflight_part_ended(cloud, upload, random_file, cache_dir, set_const):
    set_const(ws, "_UPLOAD_ADAPTIVE", False)
    set_const(ws, "UPLOAD_TARGET_INFLIGHT_PARTS_SMALL", 4)
    path, data, sha = random_file(8 * KIB)
    cloud.inject("part_put", match=lambda r: r.params["pn"] == "1", status=401)
    with cloud.hold("part_put", match=lambda r: r.params["pn"] in ("2", "3", "4")) as gate, \
            concurrent.futures.ThreadPoolExecutor(1) as ex:
        fut = ex.submit(upload, path, data, sha, KIB)
        assert gate.arrived(3)
        cloud.wait_for("part_put")  # part 1's 401 is out
        assert concurrent.futures.wait([fut], timeout=0.3).not_done
        assert cloud.count("mp_abort") == 0
        gate.release()
        with pytest.raises(httpx.HTTPStatusError) as err:
            fut.result(timeout=30)
    assert err.value.response.status_code == 401
    puts = cloud.requests_for("part_put")
    abort = cloud.last("mp_abort")
    assert abort.t_start > max(r.t_end for r in puts)
    assert sorted(int(r.params["pn"]) for r in puts) == [1, 2, 3, 4]  # no part after the failure
    assert abort.json == {"sha": sha, "upload_id": only_upload(cloud)}
    assert cloud.count("mp_complete") == 0 and not journal_of(cache_dir, sha).exists()


def test_wrong_etag_then_right_and_5xx_are_retried(cloud, upload, random_file, cache_dir, no_backoff):
    path, data, sha = random_file(6 * KIB)
    cloud.etag_mode = lambda req, upload_id, pn, attempt: "wrong" if pn == 2 and attempt == 0 else "md5"
    cloud.inject("part_put", match=lambda r: r.params["pn"] == "5", status=503, times=2)
    upload(path, data, sha, KIB)
    upload_id = only_upload(cloud)
    assert cloud.part_attempts(upload_id, 2) == 2 and cloud.part_attempts(upload_id, 5) == 3
    assert sorted(no_backoff.attempts) == [0, 0, 1]
    assert cloud.objects[sha] == data


def test_wrong_etag_every_time_fails_and_aborts(cloud, upload, random_file, cache_dir, no_backoff):
    path, data, sha = random_file(3 * KIB)
    cloud.etag_mode = lambda req, upload_id, pn, attempt: "wrong" if pn == 3 else "md5"
    with pytest.raises(RuntimeError, match=r"^Part ETag 0{32} != md5 [0-9a-f]{32} \(1024 bytes\)$"):
        upload(path, data, sha, KIB)
    assert cloud.part_attempts(only_upload(cloud), 3) == 5
    assert cloud.count("mp_abort") == 1 and cloud.count("mp_complete") == 0


def test_complete_5xx_aborts_without_a_second_attempt(cloud, upload, random_file, cache_dir):
    path, data, sha = random_file(2 * KIB)
    cloud.inject("mp_complete", status=500)
    with pytest.raises(httpx.HTTPStatusError):
        upload(path, data, sha, KIB)
    assert cloud.count("mp_create") == 1 and cloud.count("mp_abort") == 1
    assert not journal_of(cache_dir, sha).exists()


@pytest.mark.parametrize("preset", ["expired", "token", "bare400"])
def test_expired_part_urls_are_reminted(cloud, upload, random_file, cache_dir, no_backoff, preset):
    cloud.expiry_reply = preset
    path, data, sha = random_file(5 * KIB)
    cloud.expire_next(2, route="part_put")  # the first two URLs of the batch are born expired
    upload(path, data, sha, KIB, checksum_parts=True)
    single = [r.json for r in cloud.requests_for("mp_presign") if len(r.json["part_numbers"]) == 1]
    assert sorted(b["part_numbers"][0] for b in single) == [1, 2]
    assert all(list(b["checksums"]) == [str(b["part_numbers"][0])] for b in single)
    assert no_backoff.attempts == [] and cloud.objects[sha] == data


def test_part_without_url_is_presigned_alone(cloud, upload, random_file, cache_dir):
    from support import Reply
    path, data, sha = random_file(3 * KIB)

    def drop_part_2(req, default):
        reply = default()
        urls = dict(reply.json["urls"])
        if len(urls) > 1:
            urls["2"] = ""
        return reply.replace(json={"urls": urls})
    cloud.handle("mp_presign", drop_part_2)
    upload(path, data, sha, KIB)
    assert [r.json["part_numbers"] for r in cloud.requests_for("mp_presign")] == [[1, 2, 3], [2]]
    assert cloud.objects[sha] == data


# ----------------------------------------------------------------- vanished upload (restart)


def test_killed_upload_restarts_fresh_exactly_once(cloud, upload, random_file, cache_dir, write_journal):
    path, data, sha = random_file(4 * KIB)
    old = cloud.create_upload(sha)
    etag = cloud.seed_part(old, 1, data[:KIB])
    write_journal(sha, {"upload_id": old, "part_size": KIB, "checksum_parts": False},
                  [{"part": 1, "etag": etag, "checksum": None}])
    cloud.kill_upload(old)
    upload(path, data, sha, KIB)
    assert cloud.count("mp_create") == 1
    new = cloud.last("mp_create")
    assert [r.json["upload_id"] for r in cloud.requests_for("mp_abort")] == [old]
    assert cloud.objects[sha] == data and not journal_of(cache_dir, sha).exists()
    assert new.seq > cloud.last("mp_abort").seq


def test_second_vanished_upload_is_raised(cloud, upload, random_file, cache_dir):
    path, data, sha = random_file(2 * KIB)
    cloud.inject("part_put", status=404, body=b"<Error><Code>NoSuchUpload</Code></Error>", times=None)
    with pytest.raises(httpx.HTTPStatusError) as err:
        upload(path, data, sha, KIB)
    assert cloud.count("mp_create") == 2 and cloud.count("mp_abort") == 2
    assert isinstance(err.value.__context__, httpx.HTTPStatusError)  # chained to the first
    assert err.value.__context__ is not err.value
    cloud.injections.clear()


def test_nosuchupload_in_the_error_text_restarts(cloud, client, random_file, cache_dir, monkeypatch):
    path, data, sha = random_file(KIB)
    calls = []
    real = ws.WorkspaceClient._multipart_attempt

    def attempt(self, *args, **kwargs):
        calls.append(kwargs.get("force_fresh", False))
        if len(calls) == 1:
            raise RuntimeError("store says NoSuchUpload")
        return real(self, *args, **kwargs)
    monkeypatch.setattr(ws.WorkspaceClient, "_multipart_attempt", attempt)
    client.upload_blob_multipart(sha, path, len(data), KIB, cloud.mp_endpoints("j"))
    assert calls == [False, True] and cloud.objects[sha] == data


# ---------------------------------------------------------------------------- dispatch


def test_depth_bounds_parts_in_flight(cloud, upload, random_file, cache_dir, set_const):
    set_const(ws, "_UPLOAD_ADAPTIVE", False)
    set_const(ws, "UPLOAD_TARGET_INFLIGHT_PARTS_SMALL", 2)
    path, data, sha = random_file(5 * KIB)
    with cloud.hold("part_put") as gate, concurrent.futures.ThreadPoolExecutor(1) as ex:
        fut = ex.submit(upload, path, data, sha, KIB)
        assert gate.arrived(2)
        assert not gate.arrived(3, timeout=0.3)
        gate.release(1)
        assert gate.arrived(3)
        gate.release()
        fut.result(timeout=30)
    assert cloud.max_concurrency("part_put") <= 2


def test_memory_budget_bounds_the_depth(cloud, upload, random_file, cache_dir, set_const):
    set_const(ws, "UPLOAD_MEMORY_BUDGET_BYTES", 3 * KIB)
    path, data, sha = random_file(12 * KIB)
    with cloud.hold("part_put") as gate, concurrent.futures.ThreadPoolExecutor(1) as ex:
        fut = ex.submit(upload, path, data, sha, KIB)
        assert gate.arrived(3)
        assert not gate.arrived(4, timeout=0.3)
        gate.release()
        fut.result(timeout=30)


def test_next_batch_presigned_while_parts_upload(cloud, upload, random_file, cache_dir):
    path, data, sha = random_file(250)
    with cloud.hold("part_put") as gate, concurrent.futures.ThreadPoolExecutor(1) as ex:
        fut = ex.submit(upload, path, data, sha, 1)
        assert gate.arrived(1)
        cloud.wait_for("mp_presign", 2)  # batch 2 while no part of batch 1 has ended
        gate.release()
        fut.result(timeout=60)
    assert [len(r.json["part_numbers"]) for r in cloud.requests_for("mp_presign")] == [100, 100, 50]
    assert cloud.objects[sha] == data


def test_presign_failure_of_batch_2(cloud, upload, random_file, cache_dir):
    path, data, sha = random_file(150)
    cloud.inject("mp_presign", status=500, after=1)
    with pytest.raises(httpx.HTTPStatusError):
        upload(path, data, sha, 1)
    assert len(cloud.put_part_numbers(only_upload(cloud))) == 100  # batch 1 was sent first
    assert cloud.last("mp_abort").seq > max(r.seq for r in cloud.requests_for("part_put"))


def test_adaptive_controller(cloud, upload, random_file, cache_dir, fake_flowtune):
    fake_flowtune.targets = (1, 1, 3, 5)
    path, data, sha = random_file(20 * KIB)
    upload(path, data, sha, KIB)
    (ctrl,) = fake_flowtune.instances
    assert ctrl.kwargs == {"floor": 16, "cap": 20}
    records = [args[0] for name, args, _ in ctrl.calls if name == "record"]
    assert records == [KIB] * 20
    assert len(ctrl.threads) == 1 and threading.get_ident() in ctrl.threads  # the caller's thread
    assert cloud.objects[sha] == data


@pytest.mark.parametrize("targets", [(0,), (-1, 2)])
def test_controller_target_below_one_still_progresses(cloud, upload, random_file, cache_dir, fake_flowtune, targets):
    fake_flowtune.targets = targets
    path, data, sha = random_file(20 * KIB)
    upload(path, data, sha, KIB)
    assert cloud.objects[sha] == data and cloud.max_concurrency("part_put") <= 2


def test_no_controller_when_adaptive_off_or_capped(cloud, upload, random_file, cache_dir, hide_module, set_const):
    hide_module("brivel._flowtune")
    path, data, sha = random_file(16 * KIB)  # 16 parts: the cap equals the fixed depth
    upload(path, data, sha, KIB)
    set_const(ws, "_UPLOAD_ADAPTIVE", False)
    path, data, sha = random_file(40 * KIB, "other.bin")
    upload(path, data, sha, KIB)
    assert len(cloud.objects) == 2


def test_missing_flowtune_when_adaptive_applies(cloud, upload, random_file, cache_dir, hide_module):
    hide_module("brivel._flowtune")
    path, data, sha = random_file(40 * KIB)
    with pytest.raises(ImportError):
        upload(path, data, sha, KIB)
    assert cloud.count("mp_create") == 1 and cloud.count("mp_abort") == 0


def test_flowtune_stand_in():
    from brivel._flowtune import DepthController
    now = [0.0]
    ctrl = DepthController(floor=2, cap=5, clock=lambda: now[0])

    def round_(seconds, nbytes=100):
        for _ in range(ctrl.target()):
            now[0] += seconds / ctrl.target()
            ctrl.record(nbytes)
    ctrl.record(100)  # starts the clock
    assert ctrl.target() == 2
    round_(1.0)  # first measurement: grow
    assert ctrl.target() == 3
    round_(1.0)  # more bytes per second in total, per-part rate holds: grow
    assert ctrl.target() == 4
    round_(4.0)  # saturated: per-part rate collapsed, shrink (never below the floor)
    assert ctrl.target() == 3
    for _ in range(10):
        round_(0.01)
    assert ctrl.target() == 5  # never above the cap


# --------------------------------------------------------------- kill -9 and resume


CHILD = textwrap.dedent("""
    import json, sys
    from pathlib import Path
    import brivel.workspace as ws
    base, key, sha, path, size, eps = json.loads(sys.argv[1])
    with ws.WorkspaceClient(base, key) as c:
        c.upload_blob_multipart(sha, Path(path), size, 1024, eps)
""")


def test_killed_process_resumes_from_its_journal(cloud, client, random_file, cache_dir, tmp_path):
    path, data, sha = random_file(12 * KIB)
    env = child_env(tmp_path, BRIVEL_CACHE_DIR=str(cache_dir), PORTVEL_UPLOAD_ADAPTIVE="0",
                    PORTVEL_UPLOAD_TARGET_INFLIGHT_PARTS="2")
    journal = journal_of(cache_dir, sha)
    argv = json.dumps([cloud.base, cloud.api_key, sha, str(path), len(data), cloud.mp_endpoints("j")])
    with cloud.hold("part_put", match=lambda r: int(r.params["pn"]) > 5) as gate:
        child = subprocess.Popen([sys.executable, "-c", CHILD, argv], env=env, cwd=tmp_path,
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        try:
            assert gate.arrived(1, timeout=60)
            deadline = time.monotonic() + 10
            while time.monotonic() < deadline:  # the journal is written by another process
                if journal.exists() and len(journal.read_text().splitlines()) == 6:
                    break
                time.sleep(0.01)
            child.send_signal(signal.SIGKILL)
        finally:
            child.communicate(timeout=30)  # waits, and closes the pipes
    assert child.returncode == -signal.SIGKILL
    lines = journal.read_text().splitlines()
    assert len(lines) == 6 and sorted(json.loads(x)["part"] for x in lines[1:]) == [1, 2, 3, 4, 5]
    upload_id = json.loads(lines[0])["upload_id"]
    before = len(cloud.put_part_numbers(upload_id))

    client.upload_blob_multipart(sha, path, len(data), KIB, cloud.mp_endpoints("j"))
    assert cloud.count("mp_create") == 1
    assert sorted(cloud.put_part_numbers(upload_id)[before:]) == list(range(6, 13))
    assert hashlib.sha256(cloud.objects[sha]).hexdigest() == sha
    assert not journal.exists()


def test_part_whose_fresh_url_is_missing_fails_the_upload(cloud, upload, random_file, cache_dir):
    from support import Reply
    path, data, sha = random_file(2 * KIB)
    cloud.handle("mp_presign", lambda req, default: Reply(json={"urls": {}}))
    # Both parts lack a URL and run side by side: whichever fails first is raised.
    with pytest.raises(KeyError, match="^'[12]'$"):
        upload(path, data, sha, KIB)
    assert cloud.count("part_put") == 0 and cloud.count("mp_abort") == 1


def test_missing_abort_endpoint_replaces_the_failure(cloud, client, random_file, cache_dir):
    path, data, sha = random_file(2 * KIB)
    endpoints = cloud.mp_endpoints("j")
    del endpoints["abort_endpoint"]
    cloud.inject("mp_complete", status=500)
    with pytest.raises(KeyError) as err:
        client.upload_blob_multipart(sha, path, len(data), KIB, endpoints)
    assert isinstance(err.value.__context__, httpx.HTTPStatusError)
    assert cloud.count("mp_abort") == 0 and (cache_dir / "uploads" / f"{sha}.json").exists()
