"""Stand-in for the brivel cloud-execution client.

The real client sends a function and its arguments to a cloud VM and brings back the
result. This module keeps its interface for the overflow monitor and runs the call
"elsewhere" on the local machine instead: in a worker process of this interpreter, with
the function and its arguments shipped by cloudpickle and the result (or the exception)
shipped back. No network is used; ``__enter__`` only checks that a key is present.

Interface: ``PortVel(api_key=, fast=, api_url=, verbose=)`` with ``__enter__``/``__exit__``,
a writable ``verbose`` and ``_warm_session_id``, and ``run(func, *args, **kwargs)``;
``_profile(label)``, a timing context manager; ``_get_distributions_cache()``.
"""

from __future__ import annotations

import contextlib
import logging
import os
import struct
import subprocess
import sys
import threading
import time
from typing import Any, Callable, Dict, Optional

logger = logging.getLogger("brivel.orvane")

_HEADER = struct.Struct("!Q")
_distributions: Optional[Dict[str, str]] = None
_distributions_lock = threading.Lock()


class RemoteError(RuntimeError):
    """The function raised in the worker and its exception could not be sent back."""


@contextlib.contextmanager
def _profile(label: str):
    """Times the block at DEBUG level; the block's exception always passes through."""
    start = time.perf_counter()
    try:
        yield
    finally:
        logger.debug("%s took %.3f s", label, time.perf_counter() - start)


def _get_distributions_cache() -> Dict[str, str]:
    """Installed distributions by name, with their versions; computed once per process."""
    global _distributions
    with _distributions_lock:
        if _distributions is None:
            from importlib import metadata

            found: Dict[str, str] = {}
            for dist in metadata.distributions():
                name = dist.metadata["Name"]
                if name:
                    found.setdefault(name, dist.version)
            _distributions = found
        return _distributions


def _send(stream, payload: bytes) -> None:
    stream.write(_HEADER.pack(len(payload)))
    stream.write(payload)
    stream.flush()


def _receive(stream) -> Optional[bytes]:
    head = stream.read(_HEADER.size)
    if len(head) < _HEADER.size:
        return None
    (size,) = _HEADER.unpack(head)
    data = stream.read(size)
    if len(data) < size:
        return None
    return data


class _Worker:
    """One worker process; requests are answered in order, one at a time."""

    def __init__(self) -> None:
        env = dict(os.environ)
        env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if isinstance(p, str))
        self.proc = subprocess.Popen([sys.executable, "-m", "brivel.orvane"], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, env=env)

    def alive(self) -> bool:
        return self.proc.poll() is None

    def call(self, request: bytes) -> Optional[bytes]:
        try:
            _send(self.proc.stdin, request)
        except (BrokenPipeError, OSError):
            return None
        return _receive(self.proc.stdout)

    def close(self) -> None:
        with contextlib.suppress(OSError):
            self.proc.stdin.close()
        try:
            self.proc.wait(timeout=5)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        with contextlib.suppress(OSError):
            self.proc.stdout.close()


class PortVel:
    """Client of the stand-in cloud: ``run`` executes calls in a local worker process."""

    def __init__(self, api_key: Optional[str] = None, fast: bool = False, api_url: Optional[str] = None,
                 verbose: bool = False) -> None:
        self.api_key = api_key
        self.fast = bool(fast)
        self.api_url = api_url
        self.verbose = verbose
        self._warm_session_id: Any = None
        self._lock = threading.Lock()
        self._worker: Optional[_Worker] = None
        self._closed = False

    def __enter__(self) -> "PortVel":
        if not self.api_key:
            raise PermissionError("PortVel needs an API key (api_key=, BRIVEL_API_KEY or PORTVEL_API_KEY)")
        return self

    def __exit__(self, exc_type, exc, tb) -> bool:
        with self._lock:
            self._closed = True
            worker, self._worker = self._worker, None
        if worker is not None:
            worker.close()
        return False

    def run(self, func: Callable[..., Any], *args: Any, **kwargs: Any) -> Any:
        """Runs ``func(*args, **kwargs)`` in the worker process and returns its result, or
        raises the exception it raised there."""
        import cloudpickle

        request = cloudpickle.dumps((list(sys.path), func, args, kwargs))
        with self._lock:
            if self._closed:
                raise RuntimeError("PortVel client is closed")
            if self._worker is None or not self._worker.alive():
                self._worker = _Worker()
            if self.verbose:
                print(f"  [orvane] running {getattr(func, '__name__', func)!s} (session {self._warm_session_id})")
            reply = self._worker.call(request)
            if reply is None:
                self._worker.close()
                self._worker = None
                raise RemoteError("the worker process ended before answering")
        ok, value = cloudpickle.loads(reply)
        if ok:
            return value
        raise value


def _worker_main() -> None:
    import pickle

    import cloudpickle

    stdin, stdout = sys.stdin.buffer, sys.stdout.buffer
    sys.stdout = sys.stderr  # the function's prints must not corrupt the reply stream
    while True:
        request = _receive(stdin)
        if request is None:
            return
        try:
            path, func, args, kwargs = cloudpickle.loads(request)
            sys.path[:] = path
            reply = (True, func(*args, **kwargs))
        except BaseException as exc:  # everything goes back to the caller
            reply = (False, exc)
        try:
            data = cloudpickle.dumps(reply)
        except (pickle.PicklingError, TypeError, AttributeError) as exc:
            data = cloudpickle.dumps((False, RemoteError(f"{type(reply[1]).__name__}: {exc}")))
        _send(stdout, data)


if __name__ == "__main__":
    _worker_main()
