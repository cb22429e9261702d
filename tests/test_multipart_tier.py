"""The large-file tier of upload_workspace: multipart uploads several files at once."""

import concurrent.futures
import os

import httpx
import pytest

import brivel.workspace as ws
from support.manifest_helpers import built_from_files

pytestmark = pytest.mark.timeout(120)

KIB = 1024


@pytest.fixture
def calls(monkeypatch):
    """Records every upload_blob_multipart call (args, kwargs) and runs it."""
    seen = []
    real = ws.WorkspaceClient.upload_blob_multipart

    def spy(self, *args, **kwargs):
        seen.append((args, kwargs))
        return real(self, *args, **kwargs)
    monkeypatch.setattr(ws.WorkspaceClient, "upload_blob_multipart", spy)
    return seen


def plan(cloud, **kw):
    cloud.plan = lambda manifest, job: cloud.default_plan(manifest, job, threshold=8 * KIB,
                                                          part_size=2 * KIB, **kw)


@pytest.mark.parametrize("checksum_parts", [False, True])
def test_small_files_and_two_large_files(cloud, client, tmp_path, progress, calls, cache_dir, checksum_parts):
    files = {f"src/m{i}.py": os.urandom(100 + i) for i in range(6)}
    files["data/a.bin"] = os.urandom(20 * KIB + 5)
    files["data/b.bin"] = os.urandom(30 * KIB)
    files["data/a-copy.bin"] = files["data/a.bin"]
    built = built_from_files(tmp_path / "ws", files)
    plan(cloud, checksum_parts=checksum_parts)
    assert ws.upload_workspace("j", built, client, on_file=progress.on_file) == {"status": "ok"}
    for sha, mf in built.unique_blobs().items():
        assert cloud.objects[sha] == mf.local_path.read_bytes()
    assert cloud.count("blob_put") == 6 and cloud.count("mp_complete") == 2
    assert cloud.last("uploads_complete").seq > cloud.last("mp_complete").seq
    # Largest first; the endpoints and flags as the plan gives them; both share the budget.
    assert [a[2] for a, _ in calls] == [30 * KIB, 20 * KIB + 5]
    assert all(a[3] == 2 * KIB and a[4] == cloud.mp_endpoints("j") for a, _ in calls)
    assert [k for _, k in calls] == [{"checksum_parts": checksum_parts, "concurrency": 2}] * 2
    assert sorted(d for _, d, _ in progress.of("on_file")) == list(range(1, 9))
    assert not list((cache_dir / "uploads").iterdir())


@pytest.mark.parametrize("n_files, budget, configured, conc", [
    (5, 1 << 30, 3, 3),   # three at once, each told so
    (1, 1 << 30, 3, 1),
    (4, 4 * KIB, 3, 2),   # the budget holds two parts of 2 KiB
    (4, KIB, 3, 1),       # less than one part
    (3, 1 << 30, 0, 1),
])
def test_files_at_once(cloud, client, tmp_path, calls, set_const, n_files, budget, configured, conc):
    set_const(ws, "UPLOAD_MEMORY_BUDGET_BYTES", budget)
    set_const(ws, "UPLOAD_LARGE_FILE_CONCURRENCY", configured)
    built = built_from_files(tmp_path / "ws", {f"f{i}": os.urandom(9 * KIB + i) for i in range(n_files)})
    plan(cloud)
    with cloud.hold("mp_create") as gate, concurrent.futures.ThreadPoolExecutor(1) as ex:
        fut = ex.submit(ws.upload_workspace, "j", built, client)
        assert gate.arrived(conc)
        assert not gate.arrived(conc + 1, timeout=0.3)
        gate.release()
        fut.result(timeout=60)
    assert {k["concurrency"] for _, k in calls} == {conc}
    assert len(cloud.objects) == n_files


def test_one_failed_file_lets_the_others_finish(cloud, client, tmp_path, progress, no_backoff):
    files = {f"f{i}": os.urandom((12 - i) * KIB) for i in range(3)}
    built = built_from_files(tmp_path / "ws", files)
    victim = built.files[1].sha256
    plan(cloud)
    cloud.inject("mp_create", match=lambda r: r.json["sha"] == victim, status=403)
    with pytest.raises(httpx.HTTPStatusError):
        ws.upload_workspace("j", built, client, on_file=progress.on_file)
    assert set(cloud.objects) == {built.files[0].sha256, built.files[2].sha256}
    assert len(progress.of("on_file")) == 2
    assert cloud.count("uploads_complete") == 0


def test_stored_large_file_counts_once(cloud, client, tmp_path, progress):
    files = {"big": os.urandom(10 * KIB), "small": b"x"}
    built = built_from_files(tmp_path / "ws", files)
    plan(cloud)
    big = built.files[0].sha256

    def plan_with_stored(manifest, job):
        p = cloud.default_plan(manifest, job, threshold=8 * KIB, part_size=2 * KIB)
        cloud.objects[big] = files["big"]  # stored after the plan was made: create says skip
        return p
    cloud.plan = plan_with_stored
    ws.upload_workspace("j", built, client, on_file=progress.on_file)
    assert cloud.count("part_put") == 0 and cloud.count("mp_create") == 1
    assert sorted(d for _, d, _ in progress.of("on_file")) == [1, 2]
