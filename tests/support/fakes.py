"""Doubles for what the package imports rather than calls over HTTP: psutil, pynvml,
``brivel.orvane``, ``brivel._flowtune`` and the progress callbacks.

Each fake is a module object; ``install(monkeypatch)`` puts it in ``sys.modules`` (and on an
already imported parent package), so the package's own ``import`` finds it. Waits use
Events/Conditions, never ``time.sleep``.
"""

from __future__ import annotations

import contextlib
import sys
import threading
import types
from dataclasses import dataclass, field
from typing import Any

__all__ = ["Abort", "FakeFlowtune", "FakeNvml", "FakeOrvane", "FakePsutil", "NVMLError",
           "OrvaneEvent", "Progress", "install_module"]


class Abort(BaseException):
    """Raised from a callback to check it propagates (safer than KeyboardInterrupt)."""


def install_module(monkeypatch, name: str, module) -> None:
    """``sys.modules[name] = module`` for the test, also on the parent if it is imported.
    ``module=None`` makes the import fail as if the module were missing."""
    monkeypatch.setitem(sys.modules, name, module)
    parent, _, child = name.rpartition(".")
    if parent and sys.modules.get(parent) is not None:
        if module is None:
            monkeypatch.delattr(sys.modules[parent], child, raising=False)
        else:
            monkeypatch.setattr(sys.modules[parent], child, module, raising=False)


def _raise_if(error, default=Exception, message="injected failure") -> None:
    """error: None, True (raise ``default``), an exception class or instance."""
    if error is None or error is False:
        return
    if error is True:
        raise default(message)
    raise error


def _is_error(value) -> bool:
    return isinstance(value, BaseException) or (
        isinstance(value, type) and issubclass(value, BaseException))


class _Script:
    """A value source: a number, a callable, or a sequence whose last item repeats."""

    def __init__(self, source):
        self.source = source
        self._i = 0

    def next(self):
        if callable(self.source):
            return self.source()
        if isinstance(self.source, (list, tuple)):
            value = self.source[min(self._i, len(self.source) - 1)]
            self._i += 1
            return value
        return self.source


class _Recorder:
    def __init__(self):
        self.calls: list[tuple[str, tuple, str]] = []  # (name, args, thread name)
        self._cond = threading.Condition()

    def _record(self, name: str, *args) -> None:
        with self._cond:
            self.calls.append((name, args, threading.current_thread().name))
            self._cond.notify_all()

    def wait_calls(self, n: int, timeout: float = 5.0) -> bool:
        with self._cond:
            return self._cond.wait_for(lambda: len(self.calls) >= n, timeout)


# ------------------------------------------------------------------------------ psutil


class FakePsutil(types.ModuleType):
    """``cpu_percent(interval=None)`` and ``virtual_memory().percent``.

    ``cpu``/``memory``: number, callable or sequence. ``fail`` raises at once from both.
    An interval waits on ``tick`` (an Event) for at most that long: set it to end waits.
    """

    class Error(Exception):
        pass

    def __init__(self, cpu=0.0, memory=0.0, *, fail=None):
        super().__init__("psutil")
        self._rec = _Recorder()
        self.calls = self._rec.calls
        self.wait_calls = self._rec.wait_calls
        self.cpu = cpu
        self.memory = memory
        self.fail = fail
        self.tick = threading.Event()

    @property
    def cpu(self):
        return self._cpu.source

    @cpu.setter
    def cpu(self, source):
        self._cpu = _Script(source)

    @property
    def memory(self):
        return self._memory.source

    @memory.setter
    def memory(self, source):
        self._memory = _Script(source)

    def cpu_percent(self, interval=None):
        self._rec._record("cpu_percent", interval)
        _raise_if(self.fail, RuntimeError)
        if interval is not None and interval < 0:
            raise ValueError(f"interval is not positive (got {interval!r})")
        if interval:
            self.tick.wait(interval)
        return self._cpu.next()

    def virtual_memory(self):
        self._rec._record("virtual_memory")
        _raise_if(self.fail, RuntimeError)
        return types.SimpleNamespace(percent=self._memory.next())

    def install(self, monkeypatch) -> "FakePsutil":
        install_module(monkeypatch, "psutil", self)
        return self


# ------------------------------------------------------------------------------ pynvml


class NVMLError(Exception):
    pass


@dataclass(frozen=True)
class _GpuHandle:
    index: int


class FakeNvml(types.ModuleType):
    """The pynvml calls the monitor makes. ``name``/``util``/``used``/``total`` are values
    or per-device sequences; ``*_error`` is True, an exception class or an instance."""

    NVMLError = NVMLError

    def __init__(self, count=1, name=b"Fake GPU", util=50, used=1 << 30, total=8 << 30, *,
                 init_error=None, query_error=None, name_error=None):
        super().__init__("pynvml")
        self.count, self.name, self.util, self.used, self.total = count, name, util, used, total
        self.init_error, self.query_error, self.name_error = init_error, query_error, name_error
        self.log: list[tuple[str, tuple]] = []

    def _call(self, fn: str, *args, error=None) -> None:
        self.log.append((fn, args))
        _raise_if(error, NVMLError, f"{fn} failed")

    @staticmethod
    def _per(value, handle: _GpuHandle):
        return value[handle.index] if isinstance(value, (list, tuple)) else value

    def nvmlInit(self):
        self._call("nvmlInit", error=self.init_error)

    def nvmlShutdown(self):
        self._call("nvmlShutdown")

    def nvmlDeviceGetCount(self):
        self._call("nvmlDeviceGetCount", error=self.query_error)
        return self.count

    def nvmlDeviceGetHandleByIndex(self, index):
        self._call("nvmlDeviceGetHandleByIndex", index, error=self.query_error)
        if not 0 <= index < self.count:
            raise NVMLError(f"no device {index}")
        return _GpuHandle(index)

    def nvmlDeviceGetName(self, handle):
        self._call("nvmlDeviceGetName", handle, error=self.name_error)
        return self._per(self.name, handle)

    def nvmlDeviceGetUtilizationRates(self, handle):
        self._call("nvmlDeviceGetUtilizationRates", handle, error=self.query_error)
        return types.SimpleNamespace(gpu=self._per(self.util, handle), memory=0)

    def nvmlDeviceGetMemoryInfo(self, handle):
        self._call("nvmlDeviceGetMemoryInfo", handle, error=self.query_error)
        used, total = self._per(self.used, handle), self._per(self.total, handle)
        return types.SimpleNamespace(used=used, total=total, free=total - used)

    def install(self, monkeypatch) -> "FakeNvml":
        install_module(monkeypatch, "pynvml", self)
        return self


# ------------------------------------------------------------------------ brivel.orvane


@dataclass(frozen=True)
class OrvaneEvent:
    kind: str                  # init, verbose, enter, exit, run, profile, distributions, decoy
    kwargs: dict               # PortVel(**kwargs) for init; the call's details otherwise
    thread: str
    profile: Any               # sys.getprofile() at the call
    warm_session_id: Any       # the PortVel's _warm_session_id at the call, if any


class _Decoy:
    """What ``PortVel.__enter__`` returns: using it is recorded and fails loudly."""

    def __init__(self, fake: "FakeOrvane"):
        object.__setattr__(self, "_fake", fake)

    def __getattr__(self, name):
        self._fake._event("decoy", None, {"attr": name})
        raise AttributeError(f"{name!r} used on the value PortVel.__enter__ returned")


class _PortVel:
    _fake: "FakeOrvane"

    def __init__(self, **kwargs):
        self._fake._step("init", self, kwargs)
        self.kwargs = kwargs
        self._verbose = kwargs.get("verbose", False)

    @property
    def verbose(self):
        return self._verbose

    @verbose.setter
    def verbose(self, value):
        self._fake._step("verbose", self, {"value": value})
        self._verbose = value

    def __enter__(self):
        self._fake._step("enter", self, {})
        return _Decoy(self._fake)

    def __exit__(self, exc_type, exc, tb):
        self._fake._step("exit", self, {"exc_type": exc_type})
        return False

    def run(self, func, *args, **kwargs):
        """``cfg["run"]``: an exception fails the cloud run, a callable
        ``(func, *args, **kwargs)`` scripts it; otherwise ``func`` runs here."""
        self._fake._event("run", self, {"func": func, "args": args, "kwargs": kwargs})
        script = self._fake.cfg.get("run")
        if _is_error(script):
            raise script
        if callable(script):
            return script(func, *args, **kwargs)
        return func(*args, **kwargs)


class FakeOrvane(types.ModuleType):
    """``brivel.orvane``: ``PortVel``, ``_profile(label)``, ``_get_distributions_cache()``.

    ``cfg[step]`` holding an exception makes that step raise (steps: init, verbose, enter,
    exit, run, profile, distributions); ``cfg["distributions"]`` otherwise is the cache value.
    """

    def __init__(self, cfg: dict | None = None):
        super().__init__("brivel.orvane")
        self.cfg = dict(cfg or {})
        self.events: list[OrvaneEvent] = []
        self._cond = threading.Condition()
        self.PortVel = type("PortVel", (_PortVel,), {"_fake": self})

    def _event(self, kind: str, instance, details: dict) -> None:
        event = OrvaneEvent(kind, details, threading.current_thread().name, sys.getprofile(),
                            getattr(instance, "_warm_session_id", None))
        with self._cond:
            self.events.append(event)
            self._cond.notify_all()

    def _step(self, kind: str, instance=None, details: dict | None = None) -> None:
        self._event(kind, instance, details or {})
        if _is_error(self.cfg.get(kind)):
            raise self.cfg[kind]

    def kinds(self) -> list[str]:
        return [e.kind for e in self.events]

    def wait_event(self, kind: str, timeout: float = 5.0) -> OrvaneEvent | None:
        with self._cond:
            self._cond.wait_for(lambda: any(e.kind == kind for e in self.events), timeout)
            return next((e for e in self.events if e.kind == kind), None)

    @contextlib.contextmanager
    def _profile(self, label):
        self._step("profile", None, {"label": label})
        yield

    def _get_distributions_cache(self):
        self._step("distributions")
        return self.cfg.get("distributions", {})

    def install(self, monkeypatch) -> "FakeOrvane":
        install_module(monkeypatch, "brivel.orvane", self)
        return self


# ---------------------------------------------------------------------- brivel._flowtune


class _DepthController:
    instances: list
    _fake: "FakeFlowtune"

    def __init__(self, *args, **kwargs):
        _raise_if(self._fake.init_error, RuntimeError)
        self.args, self.kwargs = args, kwargs
        self.calls: list[tuple[str, tuple, int]] = []  # (name, args, thread id)
        self._i = 0
        type(self).instances.append(self)

    def _call(self, name: str, *args) -> None:
        self.calls.append((name, args, threading.get_ident()))

    @property
    def threads(self) -> set[int]:
        return {tid for _, _, tid in self.calls}

    def target(self) -> int:
        self._call("target")
        targets = self._fake.targets
        value = targets[min(self._i, len(targets) - 1)]
        self._i += 1
        return value

    def record(self, nbytes: int) -> None:
        self._call("record", nbytes)


class FakeFlowtune(types.ModuleType):
    """``brivel._flowtune.DepthController``: ``target()`` walks ``targets`` (the last one
    repeats); ``DepthController.instances`` lists every controller made."""

    def __init__(self, targets=(4,), *, init_error=None):
        super().__init__("brivel._flowtune")
        self.targets = tuple(targets)
        self.init_error = init_error
        self.DepthController = type("DepthController", (_DepthController,),
                                    {"_fake": self, "instances": []})

    @property
    def instances(self) -> list:
        return self.DepthController.instances

    def install(self, monkeypatch) -> "FakeFlowtune":
        install_module(monkeypatch, "brivel._flowtune", self)
        return self


# ---------------------------------------------------------------------------- progress


@dataclass
class _Bar:
    owner: "Progress"
    label: str
    total: Any
    closed: bool = False

    def update(self, n) -> None:
        self.owner._call("update", self.label, n)

    def close(self) -> None:
        self.closed = True
        self.owner._call("close", self.label)


@dataclass
class Progress:
    """Records ``on_file``, ``on_progress`` and ``progress_factory`` bars with thread names.

    After ``after`` calls (of the callbacks in ``only``, or all), each one raises ``fail``:
    ValueError to check it is swallowed, ``Abort`` to check it propagates.
    """

    fail: Any = None
    after: int = 0
    only: frozenset = frozenset()
    events: list = field(default_factory=list)  # (kind, args, thread name)
    bars: list = field(default_factory=list)

    def _call(self, kind: str, *args) -> None:
        self.events.append((kind, args, threading.current_thread().name))
        if self.fail is not None and (not self.only or kind in self.only):
            counted = sum(1 for k, _, _ in self.events if not self.only or k in self.only)
            if counted > self.after:
                raise self.fail

    def on_file(self, item, done, total) -> None:
        self._call("on_file", item, done, total)

    def on_progress(self, nbytes) -> None:
        self._call("on_progress", nbytes)

    def progress_factory(self, label, total) -> _Bar:
        bar = _Bar(self, label, total)
        self.bars.append(bar)
        self._call("progress_factory", label, total)
        return bar

    def of(self, kind: str) -> list[tuple]:
        return [args for k, args, _ in self.events if k == kind]

    @property
    def threads(self) -> set[str]:
        return {t for _, _, t in self.events}
