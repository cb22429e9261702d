import concurrent.futures
import hashlib
import os
import signal
import threading

import httpx
import pytest

import brivel.workspace as ws
from support.manifest_helpers import built_from_files
from support.fakes import Abort


class StrSub(str):
    pass


make_built = built_from_files


@pytest.fixture
def built(tmp_path):
    files = {
        "main.py": b"print('hello')\n",
        "pkg/__init__.py": b"",
        "pkg/data.bin": os.urandom(40_000),
        "pkg/copy_of_main.py": b"print('hello')\n",
        "docs/readme.md": b"# readme\n" * 300,
        "big.dat": os.urandom(60_000),
    }
    return make_built(tmp_path / "ws", files)


def plan_of(cloud, **kw):
    cloud.plan = lambda manifest, job: cloud.default_plan(manifest, job, **kw)


def assert_stored(cloud, built):
    """Every blob of the manifest is in the store, byte-exact by its SHA-256."""
    for sha, mf in built.unique_blobs().items():
        assert hashlib.sha256(cloud.objects[sha]).hexdigest() == sha
        assert cloud.objects[sha] == mf.local_path.read_bytes()


ROADS = {
    "legacy": dict(protocol=1, multipart=False, presign=False),
    "small-presign": dict(threshold=1 << 20),
    "small-plain": dict(threshold=1 << 20, presign=False),
}


class TestRoads:
    @pytest.mark.parametrize("road", ROADS)
    def test_uploads_every_blob_then_completes(self, progress, cloud, client, built, road):
        plan_of(cloud, **ROADS[road])
        result = ws.upload_workspace("job-1", built, client, on_file=progress.on_file)
        assert result == {"status": "ok"}
        assert_stored(cloud, built)
        blobs = built.unique_blobs()
        assert cloud.count("blob_put") == len(blobs) == 5
        assert cloud.count("uploads_complete") == 1
        assert cloud.last("uploads_complete").seq > max(r.seq for r in cloud.requests_for("blob_put"))
        assert sorted(d for _, d, _ in progress.of("on_file")) == [1, 2, 3, 4, 5]
        assert {t for _, _, t in progress.of("on_file")} == {5}
        assert {id(mf) for mf, _, _ in progress.of("on_file")} == {id(mf) for mf in blobs.values()}
        assert threading.current_thread().name not in progress.threads  # reported by the workers
        puts = cloud.requests_for("blob_put")
        assert all("Authorization" not in r.headers for r in puts)
        if road == "small-presign":
            assert cloud.count("presign") == 1
            checks = {r.params["sha"]: r.headers["x-amz-checksum-sha256"] for r in puts}
            assert checks == {sha: ws._sha256_to_checksum_b64(sha) for sha in blobs}
        else:
            assert cloud.count("presign") == 0
            assert all("x-amz-checksum-sha256" not in r.headers for r in puts)

    def test_manifest_posted_as_built(self, cloud, client, built):
        ws.upload_workspace("job-1", built, client, max_workers=2)
        req = cloud.last("manifest")
        assert req.path == "/v1/jobs/job-1/workspace/manifest"
        assert req.json == built.to_manifest_dict()
        assert req.headers["Authorization"] == f"Bearer {cloud.api_key}"

    def test_presign_batches_of_256_largest_first(self, cloud, client, tmp_path):
        files = {f"f{i:03}.txt": b"x" * (i % 7) + str(i).encode() for i in range(300)}
        built = make_built(tmp_path, files)
        plan_of(cloud, threshold=1 << 20)
        ws.upload_workspace("j", built, client)
        batches = [r.json["shas"] for r in cloud.requests_for("presign")]
        assert [len(b) for b in batches] == [256, 44]
        by_size = sorted(built.unique_blobs().items(), key=lambda kv: kv[1].size, reverse=True)
        assert batches[0] + batches[1] == [sha for sha, _ in by_size]
        assert_stored(cloud, built)
        assert cloud.count("uploads_complete") == 1

    def test_stored_blobs_skipped(self, progress, cloud, client, built):
        stored = {sha for sha, mf in list(built.unique_blobs().items())[:2]}
        for sha in stored:
            cloud.objects[sha] = built.unique_blobs()[sha].local_path.read_bytes()
        ws.upload_workspace("j", built, client, on_file=progress.on_file)
        assert {r.params["sha"] for r in cloud.requests_for("blob_put")}.isdisjoint(stored)
        assert cloud.count("blob_put") == 3 and len(progress.of("on_file")) == 3
        assert_stored(cloud, built)

    def test_nothing_to_send_completes_at_once(self, progress, cloud, client, built):
        for sha, mf in built.unique_blobs().items():
            cloud.objects[sha] = mf.local_path.read_bytes()
        assert ws.upload_workspace("j", built, client, on_file=progress.on_file) == {"status": "ok"}
        assert cloud.count("blob_put") == cloud.count("presign") == 0
        assert cloud.count("uploads_complete") == 1 and progress.of("on_file") == []

    @pytest.mark.parametrize("road", ["legacy", "small-presign"])
    def test_selection_follows_put_urls_and_skip(self, progress, cloud, client, built, road):
        shas = list(built.unique_blobs())
        in_both, not_offered = shas[0], shas[1]
        cloud.strict_complete = False

        def plan(manifest, job):
            p = cloud.default_plan(manifest, job, **ROADS[road])
            p["put_urls"].pop(not_offered)
            p["put_urls"]["e" * 64] = cloud.put_url("e" * 64)  # names no blob of the manifest
            p["skip"] = [in_both]
            return p

        cloud.plan = plan
        ws.upload_workspace("j", built, client, on_file=progress.on_file)
        sent = {r.params["sha"] for r in cloud.requests_for("blob_put")}
        assert sent == set(shas[2:])
        assert {t for _, _, t in progress.of("on_file")} == {3} and len(progress.of("on_file")) == 3

    @pytest.mark.parametrize("multipart, protocol, tiered", [
        ({"enabled": True}, None, False),
        ({"enabled": True}, 2, True),
        ({"enabled": True}, "2", True),
        ({"enabled": True}, 3.9, True),
        ({}, 2, False),
        ({"enabled": False}, 2, False),
        ({"enabled": True}, 0, False),
    ])
    def test_multipart_rule(self, cloud, client, built, multipart, protocol, tiered):
        def plan(manifest, job):
            p = cloud.default_plan(manifest, job, threshold=1 << 20)
            mp = {k: v for k, v in p["multipart"].items() if k != "enabled"}
            p["multipart"] = {**mp, **multipart}
            p["upload_protocol"] = protocol
            return p

        cloud.plan = plan
        ws.upload_workspace("j", built, client)
        assert (cloud.count("presign") > 0) is tiered
        assert_stored(cloud, built)

    def test_plan_without_multipart_threshold_uses_module_default(self, cloud, client, built, set_const):
        set_const(ws, "MULTIPART_THRESHOLD_BYTES", 1 << 20)

        def plan(manifest, job):
            p = cloud.default_plan(manifest, job)
            p["multipart"]["threshold_bytes"] = 0
            return p

        cloud.plan = plan
        ws.upload_workspace("j", built, client)
        assert_stored(cloud, built)

    @pytest.mark.parametrize("max_workers, side_by_side", [(2.9, 2), (0, 1), (-4, 1)])
    def test_legacy_pool_bounded_by_max_workers(self, cloud, client, built, max_workers, side_by_side):
        plan_of(cloud, **ROADS["legacy"])
        with concurrent.futures.ThreadPoolExecutor(1) as ex, cloud.hold("blob_put") as gate:
            fut = ex.submit(ws.upload_workspace, "j", built, client, max_workers=max_workers)
            assert gate.arrived(side_by_side)
            assert not gate.arrived(side_by_side + 1, timeout=0.3)
            gate.release()
            fut.result(timeout=10)
        assert_stored(cloud, built)

    def test_single_tier_runs_on_the_callers_thread(self, cloud, client, built, monkeypatch):
        plan_of(cloud, threshold=1 << 20)
        real = client.presign_blobs
        callers = []

        def presign(endpoint, shas):
            callers.append(threading.current_thread())
            return real(endpoint, shas)

        monkeypatch.setattr(client, "presign_blobs", presign, raising=False)
        ws.upload_workspace("j", built, client)
        assert callers == [threading.current_thread()]
        assert_stored(cloud, built)

    def test_callbacks_are_not_serialised(self, cloud, client, built):
        # Two reports meet inside on_file: a lock held around the callback would keep the
        # second one out until the barrier breaks.
        plan_of(cloud, **ROADS["legacy"])
        barrier = threading.Barrier(2, timeout=5)
        met = []

        def on_file(mf, done, total):
            if done <= 2:
                barrier.wait()
                met.append(done)

        ws.upload_workspace("j", built, client, on_file=on_file)
        assert sorted(met) == [1, 2]


class TestFailures:
    @pytest.mark.parametrize("road", ROADS)
    def test_failed_blob_never_completes(self, progress, cloud, client, built, road, no_backoff):
        plan_of(cloud, **ROADS[road])
        victim = built.files[2].sha256
        cloud.inject("blob_put", match=lambda r: r.params["sha"] == victim, status=404, times=None)
        with pytest.raises(httpx.HTTPStatusError) as e:
            ws.upload_workspace("j", built, client, on_file=progress.on_file)
        assert e.value.response.status_code == 404
        assert cloud.count("uploads_complete") == 0
        # The other uploads ran to their end before the error was raised.
        others = set(built.unique_blobs()) - {victim}
        assert others <= set(cloud.objects) and len(progress.of("on_file")) == len(others)

    @pytest.mark.parametrize("road", ROADS)
    def test_failure_raised_only_after_the_other_uploads_end(self, cloud, client, built, road):
        plan_of(cloud, **ROADS[road])
        victim = built.files[2].sha256
        cloud.inject("blob_put", match=lambda r: r.params["sha"] == victim, status=404)
        with concurrent.futures.ThreadPoolExecutor(1) as ex, \
                cloud.hold("blob_put", match=lambda r: r.params["sha"] != victim) as gate:
            fut = ex.submit(ws.upload_workspace, "j", built, client)
            assert gate.arrived(4)
            cloud.wait_for("blob_put")  # the victim's 404 has been answered
            assert concurrent.futures.wait([fut], timeout=0.3).not_done
            gate.release()
            with pytest.raises(httpx.HTTPStatusError):
                fut.result(timeout=10)
        assert set(built.unique_blobs()) - {victim} <= set(cloud.objects)
        assert cloud.count("uploads_complete") == 0

    def test_failed_tier_raised_only_after_the_other_tier_ends(self, cloud, client, built):
        plan_of(cloud, threshold=50_000)  # big.dat goes to the large-file tier
        cloud.inject("mp_create", status=401)  # which fails at once
        with concurrent.futures.ThreadPoolExecutor(1) as ex, cloud.hold("blob_put") as gate:
            fut = ex.submit(ws.upload_workspace, "j", built, client)
            assert gate.arrived(4)
            cloud.wait_for("mp_create")
            assert concurrent.futures.wait([fut], timeout=0.3).not_done
            gate.release()
            with pytest.raises(httpx.HTTPStatusError) as err:
                fut.result(timeout=10)
        assert err.value.response.status_code == 401
        small = {sha for sha, mf in built.unique_blobs().items() if mf.size <= 50_000}
        assert len(small) == 4 and small <= set(cloud.objects)
        assert cloud.count("uploads_complete") == 0

    @pytest.mark.parametrize("road", ["legacy", "small-plain"])
    def test_changed_file_refused(self, cloud, client, built, road):
        plan_of(cloud, **ROADS[road])
        mf = built.files[0]
        mf.local_path.write_bytes(b"edited after the manifest was built\n")
        with pytest.raises(RuntimeError, match=r"^Local file .*main\.py changed during upload "
                                               rf"\(expected sha256={mf.sha256[:12]}, got "):
            ws.upload_workspace("j", built, client)
        assert mf.sha256 not in cloud.objects and cloud.count("uploads_complete") == 0

    def test_changed_file_refused_by_the_store_on_the_presign_road(self, cloud, client, built, no_backoff):
        plan_of(cloud, **ROADS["small-presign"])
        mf = built.files[2]
        mf.local_path.write_bytes(os.urandom(mf.size))
        with pytest.raises(httpx.HTTPStatusError) as e:
            ws.upload_workspace("j", built, client)
        # BadDigest is a 400, which reads as an expired URL: re-minted until the attempts run out.
        assert e.value.response.status_code == 400 and "BadDigest" in e.value.response.text
        assert len([r for r in cloud.requests_for("blob_put") if r.params["sha"] == mf.sha256]) == 5
        assert mf.sha256 not in cloud.objects and cloud.count("uploads_complete") == 0

    def test_change_after_the_check_never_completes(self, cloud, client, built, monkeypatch):
        plan_of(cloud, **ROADS["legacy"])
        mf = built.files[2]
        real_hash = ws._sha256_file
        monkeypatch.setattr(ws, "_sha256_file",
                            lambda p: (mf.sha256, mf.size) if p == mf.local_path else real_hash(p))
        mf.local_path.write_bytes(os.urandom(mf.size))
        with pytest.raises(RuntimeError, match="changed during upload"):
            ws.upload_workspace("j", built, client)
        assert mf.sha256 not in cloud.objects and mf.sha256 not in cloud.corrupt
        assert cloud.count("uploads_complete") == 0

    def test_transient_faults_retried_with_backoff(self, cloud, client, built, no_backoff):
        plan_of(cloud, threshold=1 << 20)
        cloud.inject("blob_put", status=503, times=2)
        cloud.inject("blob_put", drop=True, times=2)
        ws.upload_workspace("j", built, client)
        assert len(no_backoff.attempts) == 4 and set(no_backoff.attempts) <= {0, 1, 2, 3}
        assert_stored(cloud, built)
        assert cloud.count("uploads_complete") == 1

    def test_expired_url_reminted_through_presign(self, cloud, client, built, no_backoff):
        # The batch hands out a URL that the store already refuses; only the one the re-mint
        # asks for works, so the retry must go to that URL.
        plan_of(cloud, threshold=1 << 20)
        victim = built.files[2].sha256
        fresh = []

        def change(batch, reply):
            if batch == [victim]:
                fresh.append(reply["urls"][victim])
                return reply
            return {**reply, "urls": {**reply["urls"], victim: cloud.put_url(victim, expired=True)}}

        rewrite_presign(cloud, change)
        ws.upload_workspace("j", built, client)
        presigns = [r.json["shas"] for r in cloud.requests_for("presign")]
        assert len(presigns) == 2 and presigns[1] == [victim]
        puts = [r for r in cloud.requests_for("blob_put") if r.params["sha"] == victim]
        assert [r.status for r in puts] == [403, 200]
        assert puts[1].query["sig"] == httpx.URL(fresh[0]).params["sig"]
        assert no_backoff.attempts == []
        assert_stored(cloud, built)

    def test_plain_403_fails_the_upload(self, cloud, client, built, no_backoff):
        plan_of(cloud, threshold=1 << 20)
        victim = built.files[2].sha256
        cloud.inject("blob_put", match=lambda r: r.params["sha"] == victim, status=403,
                     body=b"<Error><Code>AccessDenied</Code><Message>Access Denied</Message></Error>")
        with pytest.raises(httpx.HTTPStatusError) as e:
            ws.upload_workspace("j", built, client)
        assert e.value.response.status_code == 403
        assert cloud.count("presign") == 1 and cloud.count("uploads_complete") == 0

    def test_failed_presign_stops_later_batches(self, progress, cloud, client, tmp_path):
        built = make_built(tmp_path, {f"f{i}": str(i).encode() for i in range(600)})
        plan_of(cloud, threshold=1 << 20)
        cloud.inject("presign", status=500, after=1)
        with pytest.raises(httpx.HTTPStatusError):
            ws.upload_workspace("j", built, client, on_file=progress.on_file)
        assert cloud.count("presign") == 2 and cloud.count("blob_put") == 256
        # The first batch was uploaded and reported before the presign error left the call.
        assert len(progress.of("on_file")) == 256
        assert cloud.count("uploads_complete") == 0

    @pytest.mark.parametrize("threshold, large", [(50_000, 1), (1, 4)])
    def test_blobs_for_the_large_tier_are_uploaded_in_parts(self, cloud, client, built, threshold, large):
        plan_of(cloud, threshold=threshold)
        ws.upload_workspace("j", built, client)
        assert_stored(cloud, built)
        assert cloud.count("mp_complete") == large == len(cloud.uploads)
        assert cloud.count("blob_put") == 5 - large
        assert cloud.count("uploads_complete") == 1

    def test_progress_errors(self, cloud, client, built, progress):
        progress.fail = ValueError("ignored")
        ws.upload_workspace("j", built, client, on_file=progress.on_file)
        assert sorted(d for _, d, _ in progress.of("on_file")) == [1, 2, 3, 4, 5]
        cloud.reset()
        progress.fail = Abort()
        with pytest.raises(Abort):
            ws.upload_workspace("j2", built, client, on_file=progress.on_file)
        assert cloud.count("uploads_complete") == 0


class TestInterrupts:
    # An interrupt (not an ordinary failure) cancels the uploads still queued: only those
    # already running finish before it propagates.
    @pytest.mark.parametrize("road", ROADS)
    @pytest.mark.parametrize("interrupt", [KeyboardInterrupt, SystemExit])
    def test_from_a_progress_callback(self, cloud, client, tmp_path, set_const, road, interrupt):
        built = make_built(tmp_path, {f"f{i:02}.txt": b"%d" % i * 10 for i in range(40)})
        plan_of(cloud, **ROADS[road])
        set_const(ws, "UPLOAD_SMALL_FANOUT", 2)

        def on_file(mf, done, total):
            raise interrupt()

        with pytest.raises(interrupt):
            ws.upload_workspace("j", built, client, on_file=on_file, max_workers=2)
        assert cloud.count("blob_put") < 20
        assert cloud.count("uploads_complete") == 0

    @pytest.mark.parametrize("road", ROADS)
    def test_ctrl_c_on_the_main_thread(self, cloud, client, tmp_path, set_const, road):
        built = make_built(tmp_path, {f"f{i:02}.txt": b"%d" % i * 10 for i in range(40)})
        plan_of(cloud, **ROADS[road])
        set_const(ws, "UPLOAD_SMALL_FANOUT", 2)
        sent = threading.Event()

        def on_file(mf, done, total):
            if not sent.is_set():
                sent.set()
                signal.pthread_kill(threading.main_thread().ident, signal.SIGINT)

        with pytest.raises(KeyboardInterrupt):
            ws.upload_workspace("j", built, client, on_file=on_file, max_workers=2)
        assert cloud.count("blob_put") < 20
        assert cloud.count("uploads_complete") == 0


class TestArguments:
    @pytest.mark.parametrize("job_id", [None, StrSub("j"), 7])
    def test_job_id(self, cloud, client, built, job_id):
        with pytest.raises(TypeError, match="Argument 'job_id' has incorrect type"):
            ws.upload_workspace(job_id, built, client)
        assert cloud.count("manifest") == 0

    def test_max_workers(self, cloud, client, built):
        with pytest.raises(TypeError, match="max_workers"):
            ws.upload_workspace("j", built, client, max_workers=None)
        with pytest.raises(TypeError):
            ws.upload_workspace("j", built, client, None)
        assert cloud.count("manifest") == 0

    @pytest.mark.parametrize("plan, error, message", [
        ({"put_urls": ["a"]}, TypeError, "Expected dict, got list"),
        ({"put_urls": {"a": "u"}, "upload_protocol": "two"}, ValueError, "invalid literal"),
        ({"multipart": {"threshold_bytes": "big"}}, ValueError, "invalid literal"),
    ])
    def test_bad_plan(self, cloud, client, built, plan, error, message):
        cloud.plan = plan
        with pytest.raises(error, match=message):
            ws.upload_workspace("j", built, client)
        assert cloud.count("blob_put") == 0 and cloud.count("uploads_complete") == 0

    def test_null_replies(self, cloud, client, built):
        cloud.plan = lambda manifest, job: None
        with pytest.raises(AttributeError):
            ws.upload_workspace("j", built, client)
        assert cloud.count("uploads_complete") == 0
        cloud.plan = {"put_urls": {}}
        cloud.complete_reply = None
        assert ws.upload_workspace("j", built, client) is None


def rewrite_presign(cloud, change):
    """Scripts the presign route: ``change(sha_list, default_json) -> json``."""
    def fn(req, default):
        reply = default()
        return reply.replace(json=change(req.json["shas"], reply.json))
    cloud.handle("presign", fn)


class TestSmallTier:
    def test_presign_skip_and_missing_urls_count_as_done(self, progress, cloud, client, built):
        plan_of(cloud, threshold=1 << 20)
        shas = list(built.unique_blobs())
        skipped, unmapped, nulled = shas[0], shas[1], shas[2]
        data = {sha: mf.local_path.read_bytes() for sha, mf in built.unique_blobs().items()}

        def change(batch, reply):
            urls = dict(reply["urls"])
            urls.pop(unmapped)
            urls[nulled] = None
            cloud.objects.update({skipped: data[skipped], unmapped: data[unmapped],
                                  nulled: data[nulled]})
            return {"urls": urls, "skip": reply["skip"] + [skipped, "f" * 64]}

        rewrite_presign(cloud, change)
        ws.upload_workspace("j", built, client, on_file=progress.on_file)
        sent = {r.params["sha"] for r in cloud.requests_for("blob_put")}
        assert sent == set(shas[3:])
        assert len(progress.of("on_file")) == 5 and cloud.count("uploads_complete") == 1

    def test_empty_urls_upload_nothing(self, progress, cloud, client, built):
        plan_of(cloud, threshold=1 << 20)
        cloud.strict_complete = False
        rewrite_presign(cloud, lambda batch, reply: {"urls": None})
        assert ws.upload_workspace("j", built, client, on_file=progress.on_file) == {"status": "ok"}
        assert cloud.count("blob_put") == 0 and len(progress.of("on_file")) == 5

    def test_url_of_wrong_type_fails_after_the_others(self, cloud, client, built):
        plan_of(cloud, threshold=1 << 20)
        victim = built.files[2].sha256
        rewrite_presign(cloud, lambda batch, reply: {"urls": {**reply["urls"], victim: 42}})
        with pytest.raises(TypeError, match="Argument 'url' has incorrect type"):
            ws.upload_workspace("j", built, client)
        assert cloud.count("blob_put") == 4 and cloud.count("uploads_complete") == 0

    def test_remint_without_fresh_url_retries_the_first(self, cloud, client, built, no_backoff):
        plan_of(cloud, threshold=1 << 20)
        victim = built.files[2].sha256
        cloud.inject("blob_put", match=lambda r: r.params["sha"] == victim, status=400)

        def change(batch, reply):
            return {"urls": {}} if batch == [victim] else reply

        rewrite_presign(cloud, change)
        ws.upload_workspace("j", built, client)
        sigs = [r.query["sig"] for r in cloud.requests_for("blob_put") if r.params["sha"] == victim]
        assert len(sigs) == 2 and sigs[0] == sigs[1]
        assert_stored(cloud, built)

    def test_remint_of_wrong_type_raises_the_expiry_error(self, cloud, client, built, no_backoff):
        plan_of(cloud, threshold=1 << 20)
        victim = built.files[2].sha256
        cloud.inject("blob_put", match=lambda r: r.params["sha"] == victim, status=400)
        rewrite_presign(cloud, lambda batch, reply: {"urls": {victim: 7}} if batch == [victim] else reply)
        with pytest.raises(httpx.HTTPStatusError) as e:
            ws.upload_workspace("j", built, client)
        assert e.value.response.status_code == 400 and cloud.count("uploads_complete") == 0

    def test_checksum_helper_looked_up_at_call_time(self, cloud, client, built, monkeypatch):
        plan_of(cloud, threshold=1 << 20)
        monkeypatch.setattr(ws, "_sha256_to_checksum_b64", lambda sha: None)
        ws.upload_workspace("j", built, client)
        assert all("x-amz-checksum-sha256" not in r.headers for r in cloud.requests_for("blob_put"))
        assert_stored(cloud, built)

    @pytest.mark.parametrize("fanout", [0, -1])
    def test_no_workers_fails_before_any_request(self, cloud, client, built, set_const, fanout):
        plan_of(cloud, threshold=1 << 20)
        set_const(ws, "UPLOAD_SMALL_FANOUT", fanout)
        with pytest.raises(ValueError):
            ws.upload_workspace("j", built, client)
        assert cloud.count("presign") == cloud.count("blob_put") == cloud.count("uploads_complete") == 0

    def test_fanout_of_one_uploads_largest_first(self, cloud, client, built, set_const):
        plan_of(cloud, threshold=1 << 20)
        set_const(ws, "UPLOAD_SMALL_FANOUT", 1)
        ws.upload_workspace("j", built, client)
        sizes = [int(r.headers["Content-Length"]) for r in cloud.requests_for("blob_put")]
        assert sizes == sorted(sizes, reverse=True) and cloud.max_concurrency("blob_put") == 1

    def test_blob_at_threshold_is_small(self, cloud, client, tmp_path):
        built = make_built(tmp_path, {"a": b"x" * 1000, "b": b"y" * 10})
        plan_of(cloud, threshold=1000)
        ws.upload_workspace("j", built, client)
        assert_stored(cloud, built)


def test_download_outputs_checks_job_id_before_using_the_client():
    with pytest.raises(TypeError, match="'job_id'"):
        ws.download_outputs(b"job", None)
    with pytest.raises(AttributeError, match="get_outputs_manifest"):
        ws.download_outputs("job", None)
