"""Ctrl-C ends the long native loops within two seconds and leaves nothing half-written.

Each case runs in a child interpreter that works on a 512 GiB sparse file (minutes of
reading), an endless device, an endless body or a long batch of stat calls. The parent waits
until the child is deep in the loop (its read or write counters in /proc have grown, or its
worker thread is there), sends SIGINT and times the exit: the child must end by
KeyboardInterrupt, as an uncaught Ctrl-C ends a script."""

import json
import os
import selectors
import signal
import subprocess
import sys
import textwrap
import time
from pathlib import Path

import pytest

from support.fixtures import child_env, wait_until

SPARSE_SIZE = 512 << 30
DEADLINE = 2.0

# Shared by every child: the test's paths, and `ready()` to tell the parent the loop starts.
PRELUDE = """
import json, os, sys, threading
from pathlib import Path
import brivel.workspace as ws
import brivel.spillbox as sb
BASE = Path(sys.argv[1])
SPARSE = BASE / "data" / "sparse.bin"
SIZE = SPARSE.stat().st_size

def ready(**info):
    print(json.dumps(info), flush=True)
"""

# A loopback object store in the child: GET answers 416 for a complete .part, or an endless
# body.
SERVER = """
import http.server

class Store(http.server.BaseHTTPRequestHandler):
    def log_message(self, *args):
        pass

    def do_GET(self):
        if self.path == "/complete":
            self.send_response(416)
            self.send_header("Content-Range", f"bytes */{SIZE}")
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        self.send_response(200)
        self.send_header("Content-Length", str(SIZE))
        self.end_headers()
        block = bytes(256 << 10)
        try:
            while True:
                self.wfile.write(block)
        except OSError:
            pass

server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Store)
server.daemon_threads = True
threading.Thread(target=server.serve_forever, daemon=True).start()
BASE_URL = f"http://127.0.0.1:{server.server_address[1]}"

class Client(ws.WorkspaceClient):
    def get_outputs_manifest(self, job_id):
        return {"artifacts": [{"download_url": BASE_URL + URL_PATH, "save_to": "big.bin",
                               "sha256": "0" * 64}]}

    def ack_outputs(self, job_id):
        print("acknowledged", flush=True)
"""

# A client whose job-API calls answer at once, for a multipart upload without a server.
MULTIPART = """
class Client(ws.WorkspaceClient):
    def multipart_create(self, endpoint, sha):
        return {"upload_id": "up-1"}

    def multipart_presign_parts(self, endpoint, sha, upload_id, parts, checksums=None):
        return {str(p): "http://127.0.0.1:9/part" for p in parts}

    def multipart_complete(self, *args):
        print("completed", flush=True)

    def multipart_abort(self, *args):
        print("aborted", flush=True)

    def _put_part_bytes(self, *args, **kwargs):
        return "etag"

ENDPOINTS = {k: "/" + k for k in ("create_endpoint", "presign_parts_endpoint", "complete_endpoint",
                                  "abort_endpoint")}
SHA = "ab" * 32
JOURNAL = Path(os.environ["BRIVEL_CACHE_DIR"]) / "uploads" / (SHA + ".json")
"""

CASES = {
    "sha256_file": ("rchar", """
        ready()
        ws._sha256_file(SPARSE)
    """),
    "sha256_file_dev_zero": ("rchar", """
        ready()
        ws._sha256_file(Path("/dev/zero"))
    """),
    "sha256_region": ("rchar", """
        ready()
        ws._sha256_region_b64(SPARSE, 0, SIZE)
    """),
    "build_manifest": ("rchar", """
        spec = ws.Workspace(root=SPARSE.parent)
        (SPARSE.parent / "small.txt").write_text("small")
        os.rename(SPARSE, BASE / "aside")
        ws.build_manifest(spec)  # leaves a cache document for the root
        os.rename(BASE / "aside", SPARSE)
        doc = ws._hash_cache_path(SPARSE.parent.resolve())
        ready(doc=str(doc))
        ws.build_manifest(spec)
    """),
    "hash_pool": ("rchar", """
        # The step-by-step resolution, its files hashed by the native pool on two threads.
        ws.UPLOAD_HASH_WORKERS = 2
        other = SPARSE.with_name("other.bin")
        with open(other, "wb") as f:
            f.truncate(SIZE)
        small = SPARSE.with_name("small.txt")
        small.write_text("small")
        pending = [(small, "small.txt", None)]
        ws._resolve_manifest_files(pending, BASE)  # leaves a cache document
        doc = ws._hash_cache_path(BASE)
        ready(doc=str(doc))
        ws._resolve_manifest_files(pending + [(SPARSE, "sparse.bin", None), (other, "other.bin", None)], BASE)
    """),
    "zip_directory": ("rchar", """
        ready()
        sb._zip_directory(SPARSE.parent)
    """),
    # The calling thread's share ends with a 64 MiB file; then it waits for the worker that
    # reads the sparse one.
    "hash_pool_wait": ("rchar", """
        ws.UPLOAD_HASH_WORKERS = 2
        small = SPARSE.with_name("small.txt")
        small.write_text("small")
        ws._resolve_manifest_files([(small, "small.txt", None)], BASE)  # leaves a cache document
        big = SPARSE.with_name("big.bin")
        big.write_bytes(bytes(64 << 20))
        doc = ws._hash_cache_path(BASE)
        ready(doc=str(doc))
        ws._resolve_manifest_files([(small, "small.txt", None), (big, "big.bin", None), (SPARSE, "sparse.bin", None)],
                                   BASE)
    """),
    "build_manifest_wait": ("rchar", """
        # A rebound walk takes the build step by step; this one lists the 64 MiB file first.
        ws.UPLOAD_HASH_WORKERS = 2
        walk = ws._walk_tree
        ws._walk_tree = lambda root, **kw: iter(sorted(walk(root, **kw), key=lambda found: found[1]))
        spec = ws.Workspace(root=SPARSE.parent)
        (SPARSE.parent / "small.txt").write_text("small")
        os.rename(SPARSE, BASE / "aside")
        ws.build_manifest(spec)  # leaves a cache document for the root
        os.rename(BASE / "aside", SPARSE)
        (SPARSE.parent / "big.bin").write_bytes(bytes(64 << 20))
        doc = ws._hash_cache_path(SPARSE.parent.resolve())
        ready(doc=str(doc))
        ws.build_manifest(spec)
    """),
    "zip_directory_wait": ("rchar", """
        # A top directory's files come before its subdirectories'.
        top = BASE / "tree"
        (top / "sub").mkdir(parents=True)
        (top / "big.bin").write_bytes(bytes(64 << 20))
        os.rename(SPARSE, top / "sub" / "sparse.bin")
        ready()
        sb._zip_directory(top)
    """),
    "stat_batch": ("threads", """
        # Every stat follows a chain of links with long targets: the batch takes seconds.
        ws.UPLOAD_HASH_WORKERS = 2
        chain = BASE / "chain"
        chain.mkdir()
        (chain / "target").write_text("x")
        pad = "./" * 1900
        os.symlink(pad + "target", chain / "l8")
        for i in range(7, -1, -1):
            os.symlink(pad + f"l{i + 1}", chain / f"l{i}")
        ready()
        ws._resolve_manifest_files([(chain / "l0", "l0", None)] * 16000, BASE)
    """),
    "download_verify": ("rchar", SERVER, """
        # The .part is whole (the store answers 416); verifying it runs on a pool thread.
        URL_PATH = "/complete"
        out = BASE / "out"
        out.mkdir()
        os.rename(SPARSE, out / "big.bin.part")
        ready(target=str(out / "big.bin"), part=str(out / "big.bin.part"))
        ws.download_outputs("job", Client(BASE_URL, "key"), output_dir=out)
    """),
    "download_write": ("wchar", SERVER, """
        URL_PATH = "/endless"
        out = BASE / "out"
        out.mkdir()
        ready(target=str(out / "big.bin"), part=str(out / "big.bin.part"))
        ws.download_outputs("job", Client(BASE_URL, "key"), output_dir=out)
    """),
    "multipart_part_hash": ("rchar", MULTIPART, """
        # Part checksums: the look-ahead thread hashes the first 64 GiB part.
        ready(journal=str(JOURNAL))
        Client("http://127.0.0.1:9", "key").upload_blob_multipart(
            SHA, SPARSE, SIZE, 64 << 30, ENDPOINTS, checksum_parts=True)
    """),
    "multipart_part_read": ("rchar", MULTIPART, """
        # One 4 GiB part in flight, read (and MD5-hashed as it is read) on the part pool.
        ready(journal=str(JOURNAL))
        Client("http://127.0.0.1:9", "key").upload_blob_multipart(SHA, SPARSE, SIZE, 4 << 30, ENDPOINTS)
    """),
}

# How far the child gets before the signal: far enough to be inside the loop (bytes read or
# written, or threads started).
STARTED = {"rchar": 256 << 20, "wchar": 32 << 20, "threads": 1}


def progress(pid: int, field: str) -> int:
    if field == "threads":
        return len(os.listdir(f"/proc/{pid}/task"))
    with open(f"/proc/{pid}/io") as f:
        for line in f:
            name, _, value = line.partition(":")
            if name == field:
                return int(value)
    raise AssertionError(f"no {field} in /proc/{pid}/io")


def read_line(child: subprocess.Popen, timeout: float) -> str:
    with selectors.DefaultSelector() as sel:
        sel.register(child.stdout, selectors.EVENT_READ)
        if not sel.select(timeout):
            child.kill()
            raise AssertionError("the child did not start in time: " + child.communicate()[1])
    line = child.stdout.readline()
    if not line:
        child.kill()
        raise AssertionError("the child ended before its loop: " + child.communicate()[1])
    return line


@pytest.fixture
def sparse_base(tmp_path):
    (tmp_path / "data").mkdir()
    sparse = tmp_path / "data" / "sparse.bin"
    with open(sparse, "wb") as f:
        f.truncate(SPARSE_SIZE)
    if os.stat(sparse).st_blocks != 0:
        pytest.skip("the temporary directory's file system has no sparse files")
    return tmp_path


def interrupt_child(base: Path, case: str, started: int | None = None):
    """Runs `case` in a child until it is inside its loop (`started` further into it: bytes,
    or threads), sends SIGINT; returns the seconds from the signal to the child's exit, the child's outcome and
    what it told at its start."""
    field, *pieces = CASES[case]
    started = STARTED[field] if started is None else started
    code = "\n".join(textwrap.dedent(piece) for piece in (PRELUDE, *pieces))
    home = base / "home"
    home.mkdir()
    env = child_env(home, BRIVEL_CACHE_DIR=str(base / "cache"))
    child = subprocess.Popen([sys.executable, "-c", code, str(base)], env=env, cwd=home,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        info = json.loads(read_line(child, 60))
        start = progress(child.pid, field)
        if not wait_until(lambda: child.poll() is not None or progress(child.pid, field) - start >= started,
                          timeout=60) or child.poll() is not None:
            child.kill()
            raise AssertionError("the child's loop did not get going: " + child.communicate()[1])
        sent = time.perf_counter()
        child.send_signal(signal.SIGINT)
        try:
            child.wait(timeout=30)
        except subprocess.TimeoutExpired:
            child.kill()
        elapsed = time.perf_counter() - sent
        out, err = child.communicate(timeout=30)
    finally:
        if child.poll() is None:
            child.kill()
            child.communicate()
    return elapsed, child.returncode, out, err, info


def assert_interrupted(elapsed, returncode, err):
    assert returncode == -signal.SIGINT, err
    assert err.rstrip().endswith("KeyboardInterrupt"), err
    assert elapsed < DEADLINE, f"{elapsed:.2f} s from SIGINT to exit"


@pytest.mark.timeout(180)
@pytest.mark.parametrize("case", ["sha256_file", "sha256_file_dev_zero", "sha256_region", "zip_directory"])
def test_ctrl_c_ends_a_long_read(sparse_base, case):
    elapsed, returncode, out, err, _ = interrupt_child(sparse_base, case)
    assert_interrupted(elapsed, returncode, err)


def assert_document_kept(doc: Path):
    # The document of the previous build stays as it was: no partial one replaces it.
    entries = json.loads(doc.read_text())["entries"]
    assert [Path(k).name for k in entries] == ["small.txt"]
    assert [p.name for p in doc.parent.iterdir()] == [doc.name]  # no leftover beside it


@pytest.mark.timeout(180)
@pytest.mark.parametrize("case", ["build_manifest", "hash_pool"])
def test_ctrl_c_ends_manifest_hashing_and_keeps_the_cache_document(sparse_base, case):
    elapsed, returncode, out, err, info = interrupt_child(sparse_base, case)
    assert_interrupted(elapsed, returncode, err)
    assert_document_kept(Path(info["doc"]))


@pytest.mark.timeout(300)
@pytest.mark.parametrize("started", [32 << 20, 256 << 20, 1 << 30])
@pytest.mark.parametrize("case", ["hash_pool_wait", "build_manifest_wait", "zip_directory_wait"])
def test_ctrl_c_stops_the_workers_the_caller_waits_for(sparse_base, case, started):
    # The first offset finds the calling thread most likely still on its share, the later ones
    # done with it, waiting for the other.
    elapsed, returncode, out, err, info = interrupt_child(sparse_base, case, started)
    assert_interrupted(elapsed, returncode, err)
    if "doc" in info:
        assert_document_kept(Path(info["doc"]))


@pytest.mark.timeout(180)
def test_ctrl_c_ends_a_long_stat_batch(sparse_base):
    elapsed, returncode, out, err, _ = interrupt_child(sparse_base, "stat_batch")
    assert_interrupted(elapsed, returncode, err)


@pytest.mark.timeout(180)
@pytest.mark.parametrize("case", ["download_verify", "download_write"])
def test_ctrl_c_ends_a_download_on_the_pool_and_places_nothing(sparse_base, case):
    elapsed, returncode, out, err, info = interrupt_child(sparse_base, case)
    assert_interrupted(elapsed, returncode, err)
    assert not Path(info["target"]).exists()
    assert Path(info["part"]).exists()  # kept for a later resume
    assert "acknowledged" not in out


@pytest.mark.timeout(180)
@pytest.mark.parametrize("case", ["multipart_part_hash", "multipart_part_read"])
def test_ctrl_c_ends_a_multipart_upload_and_keeps_its_journal(sparse_base, case):
    elapsed, returncode, out, err, info = interrupt_child(sparse_base, case)
    assert_interrupted(elapsed, returncode, err)
    assert "completed" not in out and "aborted" not in out  # an interrupt neither completes nor aborts
    lines = Path(info["journal"]).read_text().splitlines()
    assert [json.loads(line)["upload_id"] for line in lines] == ["up-1"]  # the header, no part
