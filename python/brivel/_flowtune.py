"""Adaptive in-flight depth for multipart uploads.

This small module stands in for the package's ``brivel._flowtune``, which is not part of
this source tree. It offers what the workspace module's multipart engine uses:
``DepthController(floor=, cap=)`` with ``target()`` and ``record(nbytes)``.

The controller runs an additive-increase / multiplicative-decrease loop on the throughput
each part in flight achieves:

* It starts at ``floor`` parts in flight.
* The engine calls ``record(nbytes)`` once for every part it collects. The first call only
  starts the clock; after that the controller measures one *round*: as many collected parts
  as the current depth. At the end of a round it computes the bytes per second per part in
  flight (round bytes / round seconds / depth).
* While that per-part rate holds (at least ``tolerance`` times the previous round's), the
  extra part bought proportional throughput: the depth grows by ``step``, up to ``cap``.
* When it drops below that, the link (or the store, or the local disk) is saturated and the
  extra parts only queue: the depth shrinks to ``decrease`` times its value, never below
  ``floor``.

So the depth settles around the point where one more part stops paying, and memory (one
part's bytes per part in flight) is not spent on parts that only wait. ``target()`` and
``record()`` are called from one thread, the upload's own, and take no lock.
"""

from __future__ import annotations

import time
from typing import Callable

__all__ = ["DepthController"]


class DepthController:
    """Parts in flight for one multipart upload, between ``floor`` and ``cap``."""

    def __init__(self, *, floor: int, cap: int, step: int = 1, decrease: float = 0.75,
                 tolerance: float = 0.9, clock: Callable[[], float] = time.monotonic) -> None:
        self.floor = max(1, int(floor))
        self.cap = max(self.floor, int(cap))
        self.step = max(1, int(step))
        self.decrease = float(decrease)
        self.tolerance = float(tolerance)
        self._clock = clock
        self._depth = self.floor
        self._round_start: float | None = None
        self._round_bytes = 0
        self._round_parts = 0
        self._last_rate: float | None = None  # bytes/s per part in flight, previous round

    def target(self) -> int:
        """The number of parts that may be in flight now (``floor`` to ``cap``)."""
        return self._depth

    def record(self, nbytes: int) -> None:
        """Tells the controller that a part of ``nbytes`` bytes has been collected."""
        now = self._clock()
        if self._round_start is None:
            self._round_start = now
            return
        self._round_bytes += max(0, int(nbytes))
        self._round_parts += 1
        if self._round_parts < self._depth:
            return
        elapsed = now - self._round_start
        if elapsed > 0:
            rate = self._round_bytes / elapsed / self._depth
            if self._last_rate is None or rate >= self._last_rate * self.tolerance:
                self._depth = min(self.cap, self._depth + self.step)
            else:
                self._depth = max(self.floor, int(self._depth * self.decrease))
            self._last_rate = rate
        self._round_start = now
        self._round_bytes = 0
        self._round_parts = 0

    def __repr__(self) -> str:
        return f"DepthController(depth={self._depth}, floor={self.floor}, cap={self.cap})"
