"""Argument offload against the service double: offload_large_args and _upload, the three
upload paths in their order with their fall-backs, the multipart data upload with its part
checks and retries, key deletion and the resolving wrapper."""

import hashlib
import logging
import os
import threading

import cloudpickle
import pytest

import brivel.spillbox as sb
from support import Abort, Progress

MP_ROUTES = ["data_mp_init", "data_mp_presign", "part_put", "data_mp_complete"]
DIRECT_ROUTES = ["data_init", "data_put", "data_complete"]


def routes(cloud, skip=("data_get", "data_get_redirected")):
    return [r.route for r in cloud.requests if r.route not in skip]


def compact(names):
    """Consecutive repeats collapsed: the order of the steps."""
    return [n for i, n in enumerate(names) if i == 0 or names[i - 1] != n]


def records(logs, level=None):
    return [(r.levelname, r.msg, r.args) for r in logs.buffer
            if r.name == "brivel.spillbox" and (level is None or r.levelname == level)]


@pytest.fixture
def offloader(cloud):
    return sb.DataOffloader(cloud.base, cloud.api_key, size_threshold=1000)


@pytest.fixture
def small_parts(set_const):
    """Multipart for payloads over 1000 bytes, in 1 KiB parts."""
    set_const(sb, "_DATA_MULTIPART_THRESHOLD", 1000)
    set_const(sb, "_DATA_MULTIPART_PART_SIZE", 1024)


def func(a, b, frame=None, **rest):
    return (a, b, frame)


class TestOffloadLargeArgs:
    def test_two_large_arguments_then_a_cache_hit(self, cloud, offloader, brivel_logs):
        big, frame = os.urandom(4000), os.urandom(3000)
        wrapper, args, kwargs, keys = offloader.offload_large_args(func, (big, 5), {"frame": frame, "x": 1})
        assert args == (None, 5) and kwargs == {"frame": None, "x": 1}
        assert keys == ["k1", "k2"] and offloader._pending_keys == ["k1", "k2"]
        assert cloud.data == {"k1": cloudpickle.dumps(big), "k2": cloudpickle.dumps(frame)}
        assert (wrapper._arg_refs, wrapper._kwarg_refs, wrapper._api_url) == ({0: "k1"}, {"frame": "k2"}, cloud.base)
        assert "api_key" not in vars(wrapper) and cloud.api_key not in repr(vars(wrapper))
        assert ("INFO", "Offloaded %d arg(s) to backend data store", (2,)) in records(brivel_logs)
        assert wrapper(*args, **kwargs) == (big, 5, frame)

        before = len(cloud.requests)
        _, args2, _, keys2 = offloader.offload_large_args(func, (big, big), {})
        assert len(cloud.requests) == before  # both answered from the cache
        assert args2 == (None, None) and keys2 == ["k1", "k1"] and offloader._pending_keys == ["k1", "k2"]
        digest = hashlib.sha256(cloudpickle.dumps(big)).hexdigest()
        assert ("DEBUG", "Upload cache hit hash=%s \u2192 key=%s", (digest[:12], "k1")) in records(brivel_logs)

    def test_nothing_large_returns_the_objects_given(self, cloud, offloader, brivel_logs):
        args, kwargs = (b"x" * 10,), {"y": 1}
        result = offloader.offload_large_args(func, args, kwargs)
        assert result[0] is func and result[1] is args and result[2] is kwargs and result[3] == []
        assert cloud.requests == [] and records(brivel_logs) == []

    def test_threshold_is_inclusive_and_labels_name_the_slot(self, cloud, set_const):
        progress = Progress()
        off = sb.DataOffloader(cloud.base, cloud.api_key, 1000, progress.progress_factory)
        off.UPLOAD_PROGRESS_THRESHOLD = 0
        _, args, kwargs, keys = off.offload_large_args(func, (b"a" * 999, 1, b"b" * 1000), {"data": b"c" * 1000})
        assert args == (b"a" * 999, 1, None) and kwargs == {"data": None} and keys == ["k1", "k2"]
        assert [bar.label for bar in progress.bars] == ["Uploading arg #2", "Uploading kwarg 'data'"]
        assert all(bar.closed for bar in progress.bars)

    @pytest.mark.parametrize("args, kwargs, name", [([b"x"], {}, "args"), ((), None, "kwargs"),
                                                   ((), type("D", (dict,), {})(), "kwargs")])
    def test_wrong_container_types_fail_before_any_work(self, cloud, offloader, args, kwargs, name):
        with pytest.raises(TypeError, match=f"Argument '{name}' has incorrect type"):
            offloader.offload_large_args(func, args, kwargs)
        assert cloud.requests == []

    def test_unpicklable_argument_stays_and_the_others_go(self, cloud, brivel_logs):
        import threading
        off = sb.DataOffloader(cloud.base, cloud.api_key, 0)
        lock = threading.Lock()
        _, args, _, keys = off.offload_large_args(func, (lock, b"x"), {})
        assert args == (lock, None) and keys == ["k1"]
        [warning] = records(brivel_logs, "WARNING")
        assert warning[1] == "Cannot serialise arg for offload: %s"

    def test_estimate_failure_and_zero_threshold(self, cloud):
        class Odd:
            @property
            def nbytes(self):
                raise RuntimeError("no size")
        off = sb.DataOffloader(cloud.base, cloud.api_key, 0)
        _, args, _, keys = off.offload_large_args(func, (Odd(),), {})
        assert args == (None,) and keys == ["k1"]


class TestTransportChain:
    @pytest.mark.parametrize("offered, expected", [
        ({}, MP_ROUTES),
        ({"data_multipart": False}, ["data_mp_init"] + DIRECT_ROUTES),
        ({"data_multipart": False, "data_direct": False}, ["data_mp_init", "data_init", "data_upload"]),
    ])
    def test_each_path_when_the_ones_before_are_not_offered(self, cloud, offloader, small_parts,
                                                            brivel_logs, offered, expected):
        for flag, value in offered.items():
            setattr(cloud, flag, value)
        payload = os.urandom(3000)
        key = offloader._upload(payload)
        assert compact(routes(cloud)) == expected
        assert cloud.data[key] == cloudpickle.dumps(payload)
        assert records(brivel_logs, "WARNING") == []

    def test_nothing_offered_keeps_the_argument(self, cloud, offloader, brivel_logs):
        cloud.data_multipart = cloud.data_direct = cloud.data_legacy = False
        _, args, _, keys = offloader.offload_large_args(func, (b"x" * 2000,), {})
        assert args == (b"x" * 2000,) and keys == [] and offloader._pending_keys == []
        assert [(lvl, msg) for lvl, msg, _ in records(brivel_logs, "WARNING")] == [
            ("WARNING", "Data upload failed: %d %s")]

    def test_payload_at_the_threshold_skips_multipart(self, cloud, offloader, set_const):
        payload = b"x" * 3000
        size = len(cloudpickle.dumps(payload))
        set_const(sb, "_DATA_MULTIPART_THRESHOLD", size)
        offloader._upload(payload)
        assert routes(cloud)[0] == "data_init"
        set_const(sb, "_DATA_MULTIPART_THRESHOLD", size - 1)
        offloader._upload(payload + b"y")
        assert "data_mp_init" in routes(cloud)

    @pytest.mark.parametrize("reply", [{"body": b"not json"}, {"json": ["a list"]}])
    def test_a_path_that_raises_stops_the_chain(self, cloud, brivel_logs, reply):
        progress = Progress()
        off = sb.DataOffloader(cloud.base, cloud.api_key, 1000, progress.progress_factory)
        off.UPLOAD_PROGRESS_THRESHOLD = 0
        cloud.inject("data_init", status=200, **reply)
        _, args, _, keys = off.offload_large_args(func, (b"x" * 2000,), {})
        assert keys == [] and args == (b"x" * 2000,)
        assert routes(cloud) == ["data_init"]  # the legacy upload is not tried
        assert progress.of("close") == [("Uploading arg #0",)]
        [(_, msg, _)] = records(brivel_logs, "WARNING")
        assert msg == "Data upload error: %s"

    def test_interrupt_propagates_after_the_progress_object_is_closed(self, cloud):
        progress = Progress(fail=Abort(), only=frozenset({"update"}))
        off = sb.DataOffloader(cloud.base, cloud.api_key, 1000, progress.progress_factory)
        off.UPLOAD_PROGRESS_THRESHOLD = 0
        with pytest.raises(Abort):
            off.offload_large_args(func, (b"x" * 2000,), {})
        assert progress.of("close") == [("Uploading arg #0",)]
        assert off._pending_keys == [] and off._upload_cache == {}

    def test_progress_factory_failure_is_ignored(self, cloud):
        def factory(label, size):
            raise ValueError("no bar")
        off = sb.DataOffloader(cloud.base, cloud.api_key, 1000, factory)
        off.UPLOAD_PROGRESS_THRESHOLD = 0
        assert off._upload(b"x" * 2000) == "k1"

    def test_httpx_missing_is_an_upload_error(self, cloud, offloader, hide_module, brivel_logs):
        hide_module("httpx")
        assert offloader._upload(b"x" * 2000) is None
        assert cloud.requests == []
        [(_, msg, (exc,))] = records(brivel_logs, "WARNING")
        assert msg == "Data upload error: %s" and isinstance(exc, ImportError)

    def test_empty_key_is_no_key(self, cloud, offloader, brivel_logs):
        # Nothing could be fetched under an empty key: the argument must stay in the call.
        cloud.data_direct = False
        cloud.inject("data_upload", status=200, json={"data_key": ""})
        _, args, _, keys = offloader.offload_large_args(func, (b"x" * 2000,), {})
        assert args == (b"x" * 2000,) and keys == []
        assert offloader._pending_keys == [] and offloader._upload_cache == {}
        [(_, msg, _)] = records(brivel_logs, "WARNING")
        assert "empty data key" in msg

    def test_empty_key_from_an_earlier_path_hands_over(self, cloud, offloader):
        class Subclass(sb.DataOffloader):
            def _upload_direct_to_r2(self, serialized, size, timeout, progress):
                return ""
        off = Subclass(cloud.base, cloud.api_key, 1000)
        assert off._upload(b"x" * 2000) == "k1"
        assert routes(cloud) == ["data_upload"]


class TestLegacy:
    def test_streams_with_progress_and_a_fixed_length(self, cloud):
        progress = Progress()
        off = sb.DataOffloader(cloud.base, cloud.api_key, 1000, progress.progress_factory)
        off.UPLOAD_PROGRESS_THRESHOLD = 0
        payload = os.urandom(700000)
        serialized = cloudpickle.dumps(payload)
        assert off._upload_legacy(serialized, len(serialized), 5, progress.progress_factory("p", 1)) == "k1"
        req = cloud.last("data_upload")
        assert req.headers["Content-Length"] == str(len(serialized)) and not req.chunked
        assert req.headers["Content-Type"] == "application/octet-stream"
        assert [args[1] for args in progress.of("update")] == [262144, 524288, len(serialized)]
        assert cloud.data["k1"] == serialized

    @pytest.mark.parametrize("reply, result", [
        ({"json": {"data_key": "kx", "other": 1}}, "kx"), ({"json": {}}, None),
        ({"json": {"data_key": None}}, None), ({"json": {"data_key": ""}}, ""),
    ])
    def test_reply_key(self, cloud, offloader, brivel_logs, reply, result):
        cloud.inject("data_upload", status=200, **reply)
        assert offloader._upload_legacy(b"abc", 3, 1.0, None) == result
        assert records(brivel_logs) == []

    @pytest.mark.parametrize("reply, exc", [({"status": 200, "json": {"data_key": 42}}, TypeError),
                                            ({"status": 200, "json": [1]}, AttributeError),
                                            ({"status": 200, "body": b"<html>"}, ValueError)])
    def test_bad_replies_raise(self, cloud, offloader, reply, exc):
        cloud.inject("data_upload", **reply)
        with pytest.raises(exc):
            offloader._upload_legacy(b"abc", 3, 1.0, None)

    @pytest.mark.parametrize("status", [201, 413])
    def test_refusal_is_a_warning(self, cloud, offloader, brivel_logs, status):
        body = b"<html>" + b"x" * 500
        cloud.inject("data_upload", status=status, body=body)
        assert offloader._upload_legacy(b"abc", 3, 1.0, None) is None
        [(_, msg, args)] = records(brivel_logs, "WARNING")
        assert msg == "Data upload failed: %d %s" and args == (status, body[:200].decode())


class TestDirect:
    def test_put_then_progress_then_completion(self, cloud, offloader):
        progress = Progress()
        bar = progress.progress_factory("p", 5)
        assert offloader._upload_direct_to_r2(b"hello", 5, 9.0, bar) == "k1"
        put = cloud.last("data_put")
        assert "Authorization" not in put.headers and put.headers["Content-Length"] == "5"
        assert cloud.last("data_complete").json == {"data_key": "k1", "size": 5}
        assert [args[1] for args in progress.of("update")] == [5]

    @pytest.mark.parametrize("inject, level, message", [
        ({"route": "data_init", "status": 404}, None, None),
        ({"route": "data_init", "status": 201, "json": {}}, "DEBUG", "upload-init returned %d; using legacy path"),
        ({"route": "data_init", "drop": True}, "DEBUG", "upload-init request failed (%s); using legacy path"),
        ({"route": "data_init", "status": 200, "json": {"data_key": "k9"}}, None, None),
        ({"route": "data_init", "status": 200, "json": {"data_key": "", "put_url": "x"}}, None, None),
        ({"route": "data_put", "status": 403}, "DEBUG", "direct-to-R2 PUT failed (%s); falling back to legacy"),
    ])
    def test_fall_backs(self, cloud, offloader, brivel_logs, inject, level, message):
        cloud.inject(**inject)
        assert offloader._upload_direct_to_r2(b"hello", 5, 9.0, None) is None
        assert [(lvl, msg) for lvl, msg, _ in records(brivel_logs)] == ([(level, message)] if level else [])
        assert cloud.count("data_complete") == 0

    def test_completion_failure_still_returns_the_key(self, cloud, offloader):
        cloud.inject("data_complete", status=500)
        progress = Progress(fail=ValueError("bar broke"), only=frozenset({"update"}))
        assert offloader._upload_direct_to_r2(b"hello", 5, 9.0, progress.progress_factory("p", 5)) == "k1"
        assert cloud.data["k1"] == b"hello" and cloud.count("data_complete") == 1

    def test_non_string_key_raises_after_the_put(self, cloud, offloader):
        cloud.handle("data_init", lambda req, default: default().replace(
            json={"data_key": 123, "put_url": cloud.data_put_url("123")}))
        with pytest.raises(TypeError, match="Expected str, got int"):
            offloader._upload_direct_to_r2(b"hello", 5, 9.0, None)
        assert cloud.last("data_complete").json == {"data_key": 123, "size": 5}


class TestMultipart:
    def test_parts_checked_and_completed(self, cloud, offloader, small_parts):
        progress = Progress()
        payload = os.urandom(3000)
        serialized = cloudpickle.dumps(payload)
        key = offloader._upload_multipart_to_r2(serialized, len(serialized), 9.0, progress.progress_factory("p", 1))
        assert key == "k1" and cloud.data["k1"] == serialized
        complete = cloud.last("data_mp_complete").json
        assert list(complete) == ["data_key", "upload_id", "parts", "size"] and complete["size"] == len(serialized)
        assert [p["PartNumber"] for p in complete["parts"]] == [1, 2, 3]
        assert [p["ETag"] for p in complete["parts"]] == [
            hashlib.md5(serialized[i:i + 1024]).hexdigest() for i in (0, 1024, 2048)]
        sent = [args[1] for args in progress.of("update")]
        assert sorted(sent) == sent and sent[-1] == len(serialized) and len(sent) == 3
        assert all("Authorization" not in r.headers for r in cloud.requests_for("part_put"))
        assert cloud.requests_for("data_mp_presign")[0].json["part_numbers"] == [1, 2, 3]

    def test_wrong_etag_is_sent_again(self, cloud_factory, small_parts, no_backoff):
        cloud = cloud_factory(etag_mode=lambda req, upload_id, pn, attempt: "wrong" if attempt == 0 else "md5")
        off = sb.DataOffloader(cloud.base, cloud.api_key, 1000)
        serialized = os.urandom(2500)
        assert off._upload_multipart_to_r2(serialized, len(serialized), 9.0, None) == "k1"
        assert [cloud.part_attempts(cloud.uploads and next(iter(cloud.uploads)), pn) for pn in (1, 2, 3)] == [2, 2, 2]
        assert no_backoff.sleeps == [0.25] * 3

    def test_a_part_that_fails_for_good_aborts_and_the_direct_put_stores_the_payload(
            self, cloud, offloader, small_parts, no_backoff, brivel_logs):
        cloud.inject("part_put", match=lambda r: r.params["pn"] == "2", status=503, times=None)
        payload = os.urandom(3000)
        assert offloader._upload(payload) == "k2"
        assert cloud.data == {"k2": cloudpickle.dumps(payload)}
        assert cloud.count("data_mp_complete") == 0 and cloud.count("data_mp_abort") == 1
        upload_id = cloud.last("data_mp_abort").json["upload_id"]
        assert cloud.part_attempts(upload_id, 2) == 5 and no_backoff.sleeps.count(0.25) >= 1
        assert compact(routes(cloud))[-4:] == ["data_mp_abort"] + DIRECT_ROUTES
        assert ("DEBUG", "multipart data upload failed (%s); aborting + falling back") in [
            (lvl, msg) for lvl, msg, _ in records(brivel_logs)]

    @pytest.mark.parametrize("retries, attempts", [(0, 1), (-4, 1), (1, 1), (3, 3)])
    def test_every_part_is_attempted_at_least_once(self, cloud, offloader, set_const, no_backoff,
                                                   retries, attempts):
        # With no attempt a part would count as sent with an empty ETag.
        set_const(sb, "_DATA_UPLOAD_MAX_RETRIES", retries)
        set_const(sb, "_DATA_MULTIPART_PART_SIZE", 1024)
        cloud.inject("part_put", status=500, times=None)
        assert offloader._upload_multipart_to_r2(os.urandom(1500), 1500, 9.0, None) is None
        upload_id = cloud.last("data_mp_abort").json["upload_id"]
        assert cloud.part_attempts(upload_id, 1) + cloud.part_attempts(upload_id, 2) >= attempts
        assert cloud.part_attempts(upload_id, 1) == attempts

    def test_back_off_and_non_transient_status(self, cloud, offloader, small_parts, no_backoff):
        cloud.inject("part_put", match=lambda r: r.params["pn"] == "1", status=503, times=None)
        assert offloader._upload_multipart_to_r2(os.urandom(500), 500, 9.0, None) is None
        assert no_backoff.sleeps == [0.25, 1.0, 1.0, 4.0]
        no_backoff.sleeps.clear()
        cloud.reset()
        cloud.inject("part_put", status=403)
        assert offloader._upload_multipart_to_r2(os.urandom(500), 500, 9.0, None) is None
        assert no_backoff.sleeps == [] and cloud.count("part_put") == 1

    @pytest.mark.parametrize("mode, warned", [("upper", False), ("bare", False), ("doubled", False),
                                              ("weak", True), ("multipart", True), ("nonhex32", True),
                                              ("empty", False), ("none", False), ("lowername", False)])
    def test_etag_modes(self, cloud_factory, small_parts, brivel_logs, mode, warned):
        cloud = cloud_factory(etag_mode=mode)
        off = sb.DataOffloader(cloud.base, cloud.api_key, 1000)
        assert off._upload_multipart_to_r2(os.urandom(2500), 2500, 9.0, None) == "k1"
        warnings = records(brivel_logs, "WARNING")
        assert len(warnings) == (1 if warned else 0)  # at most once per upload

    def test_presign_batches_of_100_just_in_time(self, cloud, offloader, set_const):
        from concurrent.futures import ThreadPoolExecutor
        set_const(sb, "_DATA_MULTIPART_PART_SIZE", 1)
        gate = cloud.hold("part_put")
        with ThreadPoolExecutor(1) as pool:
            future = pool.submit(offloader._upload_multipart_to_r2, os.urandom(250), 250, 9.0, None)
            try:
                assert gate.arrived(4)
                assert not gate.arrived(5, timeout=0.3)  # at most 4 parts in flight
                gate.release(95)
                assert gate.arrived(99)
                # part 100 waits for a free slot, and the next batch for part 100
                assert cloud.count("data_mp_presign") == 1
                gate.release(1)
                cloud.wait_for("data_mp_presign", 2)
                assert max(int(r.params["pn"]) for r in gate.requests) <= 100
            finally:
                gate.release()
            assert future.result(timeout=30) == "k1"
        presigns = cloud.requests_for("data_mp_presign")
        assert [r.json["part_numbers"] for r in presigns] == [
            list(range(1, 101)), list(range(101, 201)), list(range(201, 251))]
        assert cloud.max_concurrency("part_put") <= 4

    @pytest.mark.parametrize("reply, logged", [
        ({"status": 404}, None),
        ({"status": 201, "json": {}}, "multipart init returned %d; using single-PUT"),
        ({"drop": True}, "multipart init failed (%s); using single-PUT path"),
        ({"status": 200, "json": {"data_key": "k9"}}, None),
    ])
    def test_init_fall_backs(self, cloud, offloader, brivel_logs, reply, logged):
        cloud.inject("data_mp_init", **reply)
        assert offloader._upload_multipart_to_r2(b"x" * 10, 10, 9.0, None) is None
        assert [msg for _, msg, _ in records(brivel_logs)] == ([logged] if logged else [])
        assert cloud.count("data_mp_abort") == 0

    @pytest.mark.parametrize("presign", [{"json": None}, {"json": {}}, {"json": {"urls": {}}},
                                         {"status": 500}, {"json": []}])
    def test_bad_presign_reply_aborts(self, cloud, offloader, small_parts, presign):
        cloud.inject("data_mp_presign", **({"status": 200} | presign))
        assert offloader._upload_multipart_to_r2(os.urandom(2500), 2500, 9.0, None) is None
        assert cloud.count("data_mp_abort") == 1 and cloud.count("data_mp_complete") == 0

    def test_too_many_parts_aborts_silently(self, cloud, offloader, brivel_logs):
        # 10001 parts of 5 GiB: the declared size decides, not the bytes at hand.
        assert offloader._upload_multipart_to_r2(b"x", 53687091200001, 9.0, None) is None
        assert routes(cloud) == ["data_mp_init", "data_mp_abort"] and records(brivel_logs) == []

    def test_abort_request_and_its_checks(self, cloud, offloader):
        auth = {"Authorization": f"Bearer {cloud.api_key}"}
        cloud.inject("data_mp_abort", status=500)
        assert offloader._abort_multipart("k", "u", auth) is None
        assert list(cloud.last("data_mp_abort").json) == ["data_key", "upload_id"]
        with pytest.raises(TypeError, match="Argument 'data_key'"):
            offloader._abort_multipart(1, "u", auth)
        with pytest.raises(TypeError, match="Argument 'auth'"):
            offloader._abort_multipart("k", "u", None)
        slash = sb.DataOffloader(cloud.base + "/", cloud.api_key)
        slash._abort_multipart("k", "u", auth)
        assert cloud.last("data_mp_abort").raw_path == "//v1/data/upload-abort-multipart"


class TestFlushKeys:
    def test_deletes_and_forgets_the_keys(self, cloud, offloader, brivel_logs):
        keys = [offloader._upload(os.urandom(2000)) for _ in range(3)]
        offloader.flush_keys([keys[1], keys[1]])
        deletes = cloud.requests_for("data_delete")
        assert [r.params["key"] for r in deletes] == [keys[1], keys[1]]
        assert all(r.headers["Authorization"] == f"Bearer {cloud.api_key}" for r in deletes)
        assert sorted(offloader._pending_keys) == [keys[0], keys[2]]
        assert ("DEBUG", "Flushed %d data key(s)", (2,)) in records(brivel_logs)

    def test_same_bytes_after_a_flush_are_uploaded_again(self, cloud, offloader):
        # The cache must not hand out a key whose data has just been deleted.
        payload = os.urandom(2000)
        _, _, _, [key] = offloader.offload_large_args(func, (payload,), {})
        offloader.flush_keys([key])
        assert key not in cloud.data
        wrapper, args, _, [again] = offloader.offload_large_args(func, (payload, 1), {})
        assert again != key and cloud.data[again] == cloudpickle.dumps(payload)
        assert wrapper(*args) == (payload, 1, None)

    def test_failures_are_ignored(self, cloud, offloader):
        offloader._pending_keys.extend(["a", "b"])
        cloud.inject("data_delete", status=500, times=None)
        offloader.flush_keys(["a", "never-pending"])
        assert offloader._pending_keys == ["b"] and cloud.count("data_delete") == 2
        dead = sb.DataOffloader("http://127.0.0.1:9", "k")
        dead._pending_keys.append("a")
        dead.flush_keys(["a"])
        assert dead._pending_keys == []

    def test_nothing_to_do(self, cloud, offloader, hide_module, brivel_logs):
        offloader.flush_keys([])
        offloader._pending_keys.append("a")
        with pytest.raises(TypeError, match="Argument 'keys'"):
            offloader.flush_keys(("a",))
        hide_module("httpx")
        offloader.flush_keys(["a"])
        assert cloud.requests == [] and offloader._pending_keys == ["a"] and records(brivel_logs) == []


class TestFlushAll:
    def test_flush_keys_gets_a_copy_of_the_pending_list(self, cloud):
        seen = []

        class Recording(sb.DataOffloader):
            def flush_keys(self, keys):
                seen.append((keys, keys is self._pending_keys))

        off = Recording(cloud.base, cloud.api_key)
        off._pending_keys.extend(["a", "b"])
        off.flush_all()
        assert seen == [(["a", "b"], False)]

    @pytest.mark.timeout(30)
    def test_a_key_uploaded_during_the_flush_survives_it(self, cloud, offloader):
        _, _, _, [old] = offloader.offload_large_args(func, (os.urandom(2000),), {})
        gate = cloud.hold("data_delete")
        flushing = threading.Thread(target=offloader.flush_all)
        with gate:
            flushing.start()
            assert gate.arrived(1)
            # Another call offloads its argument while the delete is on the wire.
            payload = os.urandom(2000)
            wrapper, args, _, [new] = offloader.offload_large_args(func, (payload, 2), {})
            gate.release()
            flushing.join(20)
        assert not flushing.is_alive()
        assert [r.params["key"] for r in cloud.requests_for("data_delete")] == [old]
        assert offloader._pending_keys == [new] and old not in cloud.data
        assert wrapper(*args) == (payload, 2, None)


class TestResolvingWrapper:
    def make(self, cloud, offloader, **kw):
        return offloader.offload_large_args(func, *kw.get("call", ((b"a", os.urandom(2000), b"c"), {})))

    def test_presents_the_wrapped_function(self, cloud, offloader):
        import inspect
        wrapper, *_ = self.make(cloud, offloader)
        assert (wrapper.__name__, wrapper.__doc__, wrapper.__wrapped__) == ("func", None, func)
        assert wrapper.__qualname__ == func.__qualname__ and wrapper.__module__ == func.__module__
        assert str(inspect.signature(wrapper)) == "(a, b, frame=None, **rest)"

    def test_fetches_without_credentials_through_a_redirect(self, cloud_factory):
        cloud = cloud_factory(redirect_data=True)
        off = sb.DataOffloader(cloud.base, cloud.api_key, 1000)
        big = os.urandom(2000)
        wrapper, args, kwargs, _ = off.offload_large_args(func, (b"a", big), {"frame": big})
        assert wrapper(*args, **kwargs) == (b"a", big, big)
        fetches = cloud.requests_for("data_get") + cloud.requests_for("data_get_redirected")
        assert len(fetches) == 4 and all("Authorization" not in r.headers for r in fetches)

    def test_keyword_added_or_replaced_and_missing_position(self, cloud, offloader):
        big = os.urandom(2000)
        wrapper, _, kwargs, _ = offloader.offload_large_args(func, (1, 2), {"frame": big})
        assert wrapper(1, 2) == (1, 2, big) and wrapper(1, 2, frame="old") == (1, 2, big)
        positional, *_ = offloader.offload_large_args(func, (1, big), {})
        with pytest.raises(IndexError):
            positional(1)

    def test_missing_data_raises_before_the_call(self, cloud, offloader):
        import httpx
        called = []
        wrapper, args, _, keys = offloader.offload_large_args(lambda *a: called.append(a), (os.urandom(2000),), {})
        cloud.data.clear()
        with pytest.raises(httpx.HTTPStatusError):
            wrapper(*args)
        assert called == []

    def test_trailing_slash_makes_a_double_slash(self, cloud):
        off = sb.DataOffloader(cloud.base + "/", cloud.api_key, 1000)
        big = os.urandom(2000)
        wrapper, args, _, _ = off.offload_large_args(func, (big, 1), {})
        assert wrapper(*args) == (big, 1, None)
        assert cloud.last("data_get").raw_path.startswith("//v1/data/")

    def test_wrapping_a_wrapper_keeps_each_ones_keys(self, cloud, offloader):
        a, b = os.urandom(2000), os.urandom(2100)
        inner, args, _, _ = offloader.offload_large_args(func, (a, 1), {})
        outer, args2, _, _ = offloader.offload_large_args(inner, (args[0], b), {})
        assert outer(*args2) == (a, b, None)

    def test_survives_cloudpickle(self, cloud, offloader):
        big = os.urandom(2000)
        wrapper, args, _, _ = offloader.offload_large_args(lambda x, y: (len(x), y), (big, 3), {})
        copy = cloudpickle.loads(cloudpickle.dumps(wrapper))
        assert copy._arg_refs == {0: "k1"} and copy._api_url == cloud.base
        assert copy(*args) == (2000, 3)


def test_transports_are_looked_up_on_self_and_called_positionally(cloud, set_const):
    calls = []

    class Recording(sb.DataOffloader):
        def _upload_multipart_to_r2(self, *args, **kwargs):
            calls.append(("multipart", len(args), kwargs))

        def _upload_direct_to_r2(self, *args, **kwargs):
            calls.append(("direct", len(args), kwargs))

        def _upload_legacy(self, serialized, size, upload_timeout, progress, **kwargs):
            calls.append(("legacy", (size, upload_timeout, progress), kwargs))
            return "from-legacy"

    set_const(sb, "_DATA_MULTIPART_THRESHOLD", 10)
    off = Recording(cloud.base, cloud.api_key, 0)
    assert off._upload(b"x" * 100) == "from-legacy"
    size = len(cloudpickle.dumps(b"x" * 100))
    assert calls == [("multipart", 4, {}), ("direct", 4, {}), ("legacy", (size, 300.0, None), {})]
    assert cloud.requests == [] and off._pending_keys == ["from-legacy"]


def test_one_key_in_two_slots_is_fetched_for_each(cloud, offloader):
    big = os.urandom(2000)
    wrapper, args, kwargs, keys = offloader.offload_large_args(func, (big, big), {"frame": big})
    assert keys == ["k1"] * 3
    a, b, frame = wrapper(*args, **kwargs)
    assert a == b == frame == big and a is not b
    assert cloud.count("data_get") == 3
