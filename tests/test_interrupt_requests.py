"""Ctrl-C while the pool threads of a transfer have requests in flight.

Each case runs the transfer in a child interpreter against the test's own double of the
service and the store (it stays in this process, so its request log outlives the child). The
parent sends SIGINT once the child's requests are under way, once or twice, and judges the
child's exit: by KeyboardInterrupt, within two seconds even while the store holds requests
without answering, with no request after the signal, nothing completed, aborted, placed or
acknowledged, and the journal kept, so that a rerun finishes the upload."""

import hashlib
import json
import os
import signal
import subprocess
import sys
import textwrap
import threading
import time

import pytest

from support.fixtures import child_env

DEADLINE = 2.0
PART = 64 << 10
# A request may be on its way when the signal arrives; none starts later than this after it.
SETTLE = 0.3

PRELUDE = """
import json, os, sys
from pathlib import Path
import brivel.workspace as ws
import brivel.spillbox as sb
URL, KEY, BASE = sys.argv[1], sys.argv[2], Path(sys.argv[3])
print("started", flush=True)
"""

CHILDREN = {
    "upload_workspace": """
        client = ws.WorkspaceClient(URL, KEY, timeout=5)
        built = ws.build_manifest(ws.Workspace(root=BASE / "data"))
        ws.upload_workspace("job", built, client)
    """,
    "download_outputs": """
        client = ws.WorkspaceClient(URL, KEY, timeout=5)
        ws.download_outputs("job", client, output_dir=BASE / "out")
    """,
    "offload_large_args": """
        offloader = sb.DataOffloader(URL, KEY, size_threshold=1 << 20)
        offloader.offload_large_args(len, ((BASE / "data" / "big.bin").read_bytes(),), {})
        print("offloaded", flush=True)
    """,
}


@pytest.fixture
def base(tmp_path):
    (tmp_path / "data").mkdir()
    (tmp_path / "out").mkdir()
    (tmp_path / "home").mkdir()
    (tmp_path / "data" / "big.bin").write_bytes(os.urandom(64 * PART))
    return tmp_path


@pytest.fixture
def store(cloud, base):
    """The double with a plan that sends big.bin as 64 parts."""
    cloud.plan = lambda manifest, job: cloud.default_plan(manifest, job, threshold=PART, part_size=PART)
    return cloud


def child_environment(base, cache="cache"):
    return child_env(base / "home", BRIVEL_CACHE_DIR=str(base / cache),
                     PORTVEL_DATA_MULTIPART_THRESHOLD_BYTES=str(PART),
                     PORTVEL_DATA_MULTIPART_PART_SIZE_BYTES=str(PART))


def interrupt(cloud, base, case, started, *, signals=1, gap=0.01, cache="cache"):
    """Runs `case` in a child until `started()` holds, sends `signals` SIGINTs `gap` apart;
    returns the monotonic time of the first, the seconds from it to the child's exit, and the
    child's exit status and output."""
    code = PRELUDE + textwrap.dedent(CHILDREN[case])
    child = subprocess.Popen([sys.executable, "-c", code, cloud.base, cloud.api_key, str(base)],
                             env=child_environment(base, cache), cwd=base / "home",
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline() == "started\n", child.communicate(timeout=30)[1]
        assert started(), "the transfer did not get going"
        sent = time.monotonic()
        for k in range(signals):
            if k:
                threading.Event().wait(gap)
            child.send_signal(signal.SIGINT)
        try:
            child.wait(timeout=30)
        except subprocess.TimeoutExpired:
            pass
        elapsed = time.monotonic() - sent
    finally:
        if child.poll() is None:
            child.kill()
        out, err = child.communicate(timeout=30)
    return sent, elapsed, child.returncode, out, err


def assert_interrupted(elapsed, returncode, err):
    assert returncode == -signal.SIGINT, err
    # A second signal may also land in the interpreter's own exit ("KeyboardInterrupt: ").
    assert err.rstrip().rsplit("\n", 1)[-1].startswith("KeyboardInterrupt"), err
    assert "Fatal Python error" not in err and "terminate called" not in err, err
    assert elapsed < DEADLINE, f"{elapsed:.2f} s from SIGINT to exit"


def started_after(cloud, sent, routes):
    return [r for r in cloud.requests if r.route in routes and r.t_start > sent + SETTLE]


def sha(data: bytes) -> str:
    return hashlib.sha256(data).hexdigest()


@pytest.mark.timeout(120)
@pytest.mark.parametrize("signals", [1, 2])
def test_upload_against_a_silent_store_ends_at_once_and_resumes(store, base, signals):
    # Parts beyond the eighth are held without an answer: the pool has requests in flight.
    gate = store.hold("part_put", match=lambda r: int(r.params["pn"]) > 8)
    sent, elapsed, rc, out, err = interrupt(store, base, "upload_workspace", lambda: gate.arrived(1, 30),
                                            signals=signals)
    assert_interrupted(elapsed, rc, err)
    assert started_after(store, sent, {"part_put", "presign", "mp_presign"}) == []
    assert store.count("mp_complete") == store.count("mp_abort") == store.count("uploads_complete") == 0
    journal = base / "cache" / "uploads" / (sha((base / "data" / "big.bin").read_bytes()) + ".json")
    done = [json.loads(line)["part"] for line in journal.read_text().splitlines()[1:]]
    assert done and set(done) <= set(range(1, 9))

    # The rerun sends only what the journal lacks, and completes.
    gate.release()
    before = len(store.requests_for("part_put"))
    code = PRELUDE + textwrap.dedent(CHILDREN["upload_workspace"])
    rerun = subprocess.run([sys.executable, "-c", code, store.base, store.api_key, str(base)],
                           env=child_environment(base), cwd=base / "home", capture_output=True, text=True,
                           timeout=60)
    assert rerun.returncode == 0, rerun.stderr
    resent = {int(r.params["pn"]) for r in store.requests_for("part_put")[before:]}
    assert resent == set(range(1, 65)) - set(done)
    data = (base / "data" / "big.bin").read_bytes()
    assert store.objects[sha(data)] == data


RUNS = 20


@pytest.mark.timeout(300)
@pytest.mark.parametrize("gap", [0.0, 0.01, 0.05])
def test_two_ctrl_c_during_a_multipart_upload_never_crash(store, base, gap):
    # Every part answers after a pause, so that many are in flight and being collected when
    # the second signal lands, in the parent's wait for them or in the unwinding after.
    store.inject("part_put", times=None, delay=0.05)
    for run in range(RUNS):
        count = len(store.requests_for("part_put"))
        started = lambda: store.wait_for("part_put", n=count + 8, timeout=30) or True
        sent, elapsed, rc, out, err = interrupt(store, base, "upload_workspace", started, signals=2, gap=gap,
                                                cache=f"cache{run}")
        assert_interrupted(elapsed, rc, err)
    assert store.count("mp_complete") == 0


@pytest.mark.timeout(120)
def test_download_from_a_silent_store_ends_at_once_and_places_nothing(cloud, base):
    cloud.add_output("result.bin", os.urandom(PART), save_to="result.bin", relpath="result.bin")
    gate = cloud.hold("obj_get")
    sent, elapsed, rc, out, err = interrupt(cloud, base, "download_outputs", lambda: gate.arrived(1, 30))
    assert_interrupted(elapsed, rc, err)
    assert started_after(cloud, sent, {"obj_get"}) == []
    assert cloud.count("outputs_ack") == 0
    assert not (base / "out" / "result.bin").exists()


@pytest.mark.timeout(120)
def test_offload_against_a_silent_store_ends_at_once(cloud, base):
    gate = cloud.hold("part_put")
    sent, elapsed, rc, out, err = interrupt(cloud, base, "offload_large_args", lambda: gate.arrived(1, 30))
    assert_interrupted(elapsed, rc, err)
    assert "offloaded" not in out
    assert started_after(cloud, sent, {"part_put", "data_mp_presign"}) == []
    # Neither completed nor abandoned to the next path.
    routes = {"data_mp_complete", "data_mp_abort", "data_init", "data_put", "data_upload"}
    assert [r.route for r in cloud.requests if r.route in routes] == []
