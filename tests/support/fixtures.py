"""Pytest fixtures around the doubles, and the plain helpers tests import from here by name.
``tests/conftest.py`` loads this module as a plugin; nothing here imports ``brivel`` at
import time, and ``clean_env`` is left for the conftest to make autouse.
"""

from __future__ import annotations

import hashlib
import importlib
import json
import logging
import logging.handlers
import os
import stat
import subprocess
import sys
import textwrap
import threading
import time
import types
from dataclasses import dataclass, field
from pathlib import Path

import pytest

from .cloud import SERVER_THREADS, FakeCloud
from .fakes import FakeFlowtune, FakeOrvane, FakePsutil, Progress, install_module


# ------------------------------------------------------------------------------ the double


@pytest.fixture
def cloud_factory():
    """``make(api_key="test-key", **options)`` starts a FakeCloud. Teardown stops each one
    and fails on unallowed violations, finite injections that never fired, server errors."""
    made: list[FakeCloud] = []

    def make(api_key: str = "test-key", **options) -> FakeCloud:
        cloud = FakeCloud(api_key, **options).start()
        made.append(cloud)
        return cloud

    yield make
    for cloud in made:
        cloud.stop()
    problems = [p for cloud in made for p in cloud.problems()]
    assert not problems, "fake cloud:\n" + "\n".join(problems)


@pytest.fixture
def cloud(cloud_factory) -> FakeCloud:
    return cloud_factory()


@pytest.fixture
def client(cloud):
    """A ``WorkspaceClient`` of the double, closed after the test."""
    import brivel.workspace as ws

    with ws.WorkspaceClient(cloud.base, cloud.api_key, timeout=10) as c:
        yield c


# ---------------------------------------------------------------------------- environment


@pytest.fixture
def clean_env(monkeypatch, tmp_path_factory) -> Path:
    """No BRIVEL_/PORTVEL_ variable leaks in, and HOME is a fresh directory."""
    for name in list(os.environ):
        if name.startswith(("BRIVEL_", "PORTVEL_")):
            monkeypatch.delenv(name)
    home = tmp_path_factory.mktemp("home")
    monkeypatch.setenv("HOME", str(home))
    return home


@pytest.fixture
def cache_dir(monkeypatch, tmp_path_factory) -> Path:
    """A fresh BRIVEL_CACHE_DIR (the package reads it at each use)."""
    path = tmp_path_factory.mktemp("cache")
    monkeypatch.setenv("BRIVEL_CACHE_DIR", str(path))
    return path


def _journal_line(entry) -> str:
    return entry if isinstance(entry, str) else json.dumps(entry)


@pytest.fixture
def write_journal(cache_dir):
    """``write(sha, header, records=())`` writes ``uploads/<sha>.json``: the header line
    ``{"upload_id", "part_size", "checksum_parts"}``, then ``{"part", "etag", "checksum"}``
    lines. Strings are written verbatim, for damaged journals."""

    def write(sha: str, header, records=()) -> Path:
        path = cache_dir / "uploads" / f"{sha}.json"
        path.parent.mkdir(parents=True, exist_ok=True)
        lines = [_journal_line(header)] + [_journal_line(r) for r in records]
        path.write_text("".join(line + "\n" for line in lines))
        return path

    return write


@dataclass
class BackoffRecorder:
    attempts: list = field(default_factory=list)  # first argument of each back-off call
    calls: list = field(default_factory=list)     # (args, kwargs)
    sleeps: list = field(default_factory=list)    # durations passed to time.sleep


@pytest.fixture
def no_backoff(monkeypatch) -> BackoffRecorder:
    """Records instead of sleeping: ``brivel.workspace._sleep_backoff`` (set even before the
    package defines it) and ``time.sleep``."""
    rec = BackoffRecorder()

    def backoff(*args, **kwargs):
        rec.calls.append((args, kwargs))
        rec.attempts.append(args[0] if args else next(iter(kwargs.values()), None))

    monkeypatch.setattr("brivel.workspace._sleep_backoff", backoff, raising=False)
    monkeypatch.setattr(time, "sleep", rec.sleeps.append)
    return rec


@pytest.fixture
def set_const(monkeypatch):
    """``set_const(module, name, value)`` for call-time constants; the name must exist."""

    def setter(module, name: str, value) -> None:
        if isinstance(module, str):
            module = importlib.import_module(module)
        monkeypatch.setattr(module, name, value)

    return setter


_CHILD_PASSED = ("PYTHONPATH", "LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS")


def child_env(home, **extra) -> dict:
    """The environment of a child interpreter, built from scratch: PATH, ``home`` as HOME,
    ``extra``, and the test run's import path and sanitizer settings where it has them (they
    name the package under test and the runtime its build needs)."""
    passed = {k: os.environ[k] for k in _CHILD_PASSED if k in os.environ}
    return {"PATH": os.environ.get("PATH", ""), "HOME": str(home), **passed, **extra}


@pytest.fixture
def run_python(tmp_path_factory):
    """``run(code, *, env=None, timeout=60)`` runs ``python -c`` with an environment built
    from scratch (PATH, a fresh HOME, the test run's import path and sanitizer settings,
    ``env``) in an empty directory, so the package under test is imported, never the source
    tree."""

    def run(code: str, *, env: dict | None = None, timeout: float = 60):
        home = tmp_path_factory.mktemp("child-home")
        full = child_env(home, **(env or {}))
        return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=full,
                              cwd=home, capture_output=True, text=True, timeout=timeout)

    return run


def join_threads(before, timeout: float = 5.0, *, ignore=None) -> None:
    """Joins threads started since ``before`` (a ``threading.enumerate()`` snapshot), except
    FakeCloud's and those ``ignore(thread)`` accepts; fails if any outlives ``timeout``."""
    old = set(before)
    new = [t for t in threading.enumerate()
           if t not in old and t is not threading.current_thread()
           and t not in SERVER_THREADS and not (ignore and ignore(t))]
    deadline = time.monotonic() + timeout
    for thread in new:
        thread.join(max(0.0, deadline - time.monotonic()))
    alive = [t.name for t in new if t.is_alive()]
    assert not alive, f"threads still running after {timeout}s: {alive}"


@pytest.fixture
def join_new_threads():
    return join_threads


# --------------------------------------------------------------------------- HTTP errors


def make_status_error(code: int, text: str = "", *, no_status: bool = False,
                      text_raises: bool | BaseException = False):
    """A real ``httpx.HTTPStatusError`` on a real request and response. ``no_status``
    removes the response's ``status_code``; ``text_raises`` makes ``.text`` raise
    (``httpx.ResponseNotRead`` unless an exception is given)."""
    import httpx

    request = httpx.Request("GET", "http://127.0.0.1/status-error")
    cls = httpx.Response
    if text_raises:
        error = text_raises if isinstance(text_raises, BaseException) else httpx.ResponseNotRead()

        def broken_text(self):
            raise error

        cls = type("UnreadableResponse", (httpx.Response,), {"text": property(broken_text)})
    response = cls(code, content=text.encode(), request=request)
    if no_status:
        del response.status_code
    return httpx.HTTPStatusError(f"HTTP {code}", request=request, response=response)


@pytest.fixture
def status_error():
    return make_status_error


# ---------------------------------------------------------------------------- file trees


@pytest.fixture
def random_file(tmp_path):
    """``make(nbytes, name="data.bin")`` writes a file of random bytes under ``tmp_path``;
    returns (path, data, SHA-256 hex)."""
    def make(nbytes: int, name: str = "data.bin"):
        data = os.urandom(nbytes)
        path = tmp_path / name
        path.write_bytes(data)
        return path, data, hashlib.sha256(data).hexdigest()
    return make


class TreeBuilder:
    """Builds awkward workspace trees under ``root``; paths are relative to it."""

    def __init__(self, root: Path):
        self.root = root
        self.root.mkdir(parents=True, exist_ok=True)
        self._locked: list[Path] = []

    def path(self, rel: str) -> Path:
        return self.root / rel

    def _parent(self, rel: str) -> Path:
        path = self.path(rel)
        path.parent.mkdir(parents=True, exist_ok=True)
        return path

    def file(self, rel: str, data: bytes | str = b"") -> Path:
        path = self._parent(rel)
        path.write_bytes(data.encode() if isinstance(data, str) else data)
        return path

    def dir(self, rel: str) -> Path:
        path = self.path(rel)
        path.mkdir(parents=True, exist_ok=True)
        return path

    def fifo(self, rel: str) -> Path:
        """A named pipe: a reader that opens it blocks, so such tests carry a timeout."""
        path = self._parent(rel)
        os.mkfifo(path)
        return path

    def dangling_link(self, rel: str, target: str = "does-not-exist") -> Path:
        path = self._parent(rel)
        os.symlink(target, path)
        return path

    def symlinked_dir(self, rel: str, target: str | Path) -> Path:
        """A link to a directory (``target`` relative to root, or absolute), made if missing."""
        real = Path(target) if Path(target).is_absolute() else self.path(str(target))
        real.mkdir(parents=True, exist_ok=True)
        path = self._parent(rel)
        os.symlink(real, path, target_is_directory=True)
        return path

    def unreadable_dir(self, rel: str, files: dict | None = None) -> Path:
        if os.geteuid() == 0:
            pytest.skip("root reads every directory")
        path = self.dir(rel)
        for name, data in (files or {}).items():
            self.file(f"{rel}/{name}", data)
        path.chmod(0)
        self._locked.append(path)
        return path

    def gitignore(self, lines, *, rel: str = ".gitignore", crlf: bool = False,
                  bom: bool = False) -> Path:
        text = ("\r\n" if crlf else "\n").join(lines) + ("\r\n" if crlf else "\n")
        return self.file(rel, (b"\xef\xbb\xbf" if bom else b"") + text.encode())

    def restore(self) -> None:
        for path in self._locked:
            path.chmod(stat.S_IRWXU)


@pytest.fixture
def tree(tmp_path):
    builder = TreeBuilder(tmp_path / "tree")
    yield builder
    builder.restore()


# ---------------------------------------------------------------------------- overflow


@pytest.fixture
def write_module(tmp_path_factory, monkeypatch):
    """``write(name, src)`` imports user code from a fresh directory (overflow() must run in
    such a module, never in a test module, or it would wrap the test's own helpers)."""
    names: list[str] = []

    def write(name: str, src: str) -> types.ModuleType:
        root = tmp_path_factory.mktemp("usercode")
        (root / f"{name}.py").write_text(textwrap.dedent(src))
        monkeypatch.syspath_prepend(str(root))
        sys.modules.pop(name, None)
        names.append(name)
        return importlib.import_module(name)

    yield write
    for name in names:
        sys.modules.pop(name, None)


@pytest.fixture
def overflow_cleanup():
    """After the test: stops the active monitor, clears profilers, resets the module."""
    yield
    module = sys.modules.get("brivel.overflow")
    if module is not None:
        stop = getattr(getattr(module, "_active_monitor", None), "stop", None)
        if callable(stop):
            stop()
        if hasattr(module, "_active_monitor"):
            module._active_monitor = None
    sys.setprofile(None)
    threading.setprofile(None)


@pytest.fixture
def brivel_logs():
    """Records of the ``brivel`` logger in a stdlib BufferingHandler (``.buffer``)."""
    logger = logging.getLogger("brivel")
    handler = logging.handlers.BufferingHandler(capacity=1 << 20)
    level = logger.level
    logger.addHandler(handler)
    logger.setLevel(logging.DEBUG)
    yield handler
    logger.removeHandler(handler)
    logger.setLevel(level)


# ------------------------------------------------------------------------- module fakes


@pytest.fixture
def fake_psutil(monkeypatch):
    fake = FakePsutil().install(monkeypatch)
    yield fake
    fake.tick.set()  # frees any thread still inside an interval wait


@pytest.fixture
def fake_orvane(monkeypatch) -> FakeOrvane:
    return FakeOrvane().install(monkeypatch)


@pytest.fixture
def fake_flowtune(monkeypatch) -> FakeFlowtune:
    return FakeFlowtune().install(monkeypatch)


@pytest.fixture
def progress() -> Progress:
    return Progress()


@pytest.fixture
def hide_module(monkeypatch):
    """``hide(name)``: importing ``name`` fails for this test, as if not installed."""
    return lambda name: install_module(monkeypatch, name, None)


# ------------------------------------------------------------------------ overflow env


def wait_until(predicate, timeout: float = 5.0, interval: float = 0.005) -> bool:
    """Bounded polling for state that no event announces (a monitor field, a thread set)."""
    deadline = time.monotonic() + timeout
    while True:
        if predicate():
            return True
        if time.monotonic() >= deadline:
            return False
        threading.Event().wait(interval)


@dataclass
class OverflowEnv:
    """The overflow module with scripted doubles: ``psutil`` (load), ``orvane`` (cloud),
    pynvml hidden unless a test installs ``FakeNvml``, logs of the ``brivel`` logger."""

    module: types.ModuleType
    psutil: FakePsutil
    orvane: FakeOrvane
    logs: logging.handlers.BufferingHandler
    monkeypatch: pytest.MonkeyPatch

    def messages(self, level: int | None = None, name: str = "brivel.overflow") -> list[str]:
        return [r.getMessage() for r in self.logs.buffer
                if r.name == name and (level is None or r.levelno == level)]

    def quiet(self, *, hook: bool = False, **kwargs):
        """A started monitor whose sampler is parked in its first 30 s measurement, so
        tests set the load figures themselves. Built directly: no scope wrap, no pre-warm.
        Its profile hook is taken off the test's thread unless ``hook``: the hook would
        take the test's own functions for user code."""
        kwargs = {"fast": False, "threshold": 85.0, "check_interval": 30.0, "api_key": "test-key",
                  "api_url": "http://127.0.0.1:9", **kwargs}
        monitor = self.module._OverflowMonitor(**kwargs)
        self.module._active_monitor = monitor
        monitor.start()
        if not hook:
            sys.setprofile(None)
        assert self.psutil.wait_calls(2), "the sampler did not start measuring"
        return monitor


@pytest.fixture
def overflow_env(monkeypatch, fake_psutil, fake_orvane, brivel_logs, overflow_cleanup) -> OverflowEnv:
    install_module(monkeypatch, "pynvml", None)
    # Samplers of earlier tests end after their last iteration, which may still log: wait
    # for them, then start this test's log afresh.
    for thread in threading.enumerate():
        if thread.name == "brivel-overflow":
            thread.join(5)
    brivel_logs.buffer.clear()
    module = importlib.import_module("brivel.overflow")
    monkeypatch.setattr(module, "_DEFAULT_API_URL", "http://127.0.0.1:9")  # never the real service
    return OverflowEnv(module, fake_psutil, fake_orvane, brivel_logs, monkeypatch)
