"""Interpreter exit while other threads are inside brivel's native code.

Each case runs in a child interpreter whose daemon threads loop a native call that releases
the GIL. The child then exits, normally or by an uncaught Ctrl-C, while those calls are in
flight: the threads must not take the process down (CPython ends a thread that asks for the
GIL back during finalization, and that exit must not unwind through native frames). The
exit status is the interpreter's own."""

import signal
import subprocess
import sys
import textwrap

import pytest

from support.fixtures import child_env

RUNS = 5

PRELUDE = """
import os, sys, threading
from pathlib import Path
import brivel.workspace as ws
import brivel.spillbox as sb
BASE = Path(sys.argv[1])
DATA = BASE / "data"
BIG = DATA / "big.bin"
THREADS = 2
started = threading.Barrier(THREADS + 1)

def loop(call):
    call()
    started.wait()
    while True:
        call()
"""

CALLS = {
    "sha256_file": "lambda: ws._sha256_file(BIG)",
    "sha256_region": "lambda: ws._sha256_region_b64(BIG, 0, BIG.stat().st_size)",
    "build_manifest": "lambda: ws.build_manifest(ws.Workspace(root=DATA))",
    "zip_directory": "lambda: sb._zip_directory(DATA)",
}

ENDINGS = {
    # The main thread returns: the interpreter finalizes with the loops running.
    "exit": "",
    # The main thread waits until the parent's SIGINT ends it with KeyboardInterrupt. It
    # wakes now and then: the signal may land on another thread, and a lock wait of the main
    # thread is only broken off by a signal delivered to it.
    "sigint": "print('ready', flush=True)\nwhile not threading.Event().wait(0.05):\n    pass",
}


@pytest.fixture
def data_base(tmp_path):
    (tmp_path / "data").mkdir()
    (tmp_path / "data" / "big.bin").write_bytes(bytes(range(256)) * (16 << 10))  # 4 MiB
    (tmp_path / "data" / "small.txt").write_text("small")
    (tmp_path / "home").mkdir()
    return tmp_path


def run_child(base, call: str, ending: str) -> subprocess.CompletedProcess:
    code = PRELUDE + textwrap.dedent(f"""
        for _ in range(THREADS):
            threading.Thread(target=loop, args=({call},), daemon=True).start()
        started.wait()
    """) + ENDINGS[ending]
    env = child_env(base / "home", BRIVEL_CACHE_DIR=str(base / "cache"))
    child = subprocess.Popen([sys.executable, "-c", code, str(base)], env=env, cwd=base / "home",
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        if ending == "sigint":
            assert child.stdout.readline() == "ready\n", child.communicate(timeout=30)[1]
            child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=30)
    finally:
        if child.poll() is None:
            child.kill()
            child.communicate()
    return subprocess.CompletedProcess(child.args, child.returncode, out, err)


@pytest.mark.timeout(240)
@pytest.mark.parametrize("ending", sorted(ENDINGS))
@pytest.mark.parametrize("case", sorted(CALLS))
def test_exit_with_native_calls_in_flight_on_other_threads(data_base, case, ending):
    for _ in range(RUNS):
        r = run_child(data_base, CALLS[case], ending)
        if ending == "exit":
            assert (r.returncode, r.stderr) == (0, "")
        else:
            assert r.returncode == -signal.SIGINT, r.stderr
            assert r.stderr.rstrip().endswith("KeyboardInterrupt"), r.stderr
            assert "terminate called" not in r.stderr and "Fatal Python error" not in r.stderr, r.stderr
