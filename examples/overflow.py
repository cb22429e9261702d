"""Route a heavy function to the cloud while the machine is overloaded, and back.

    python examples/overflow.py [--load scripted|busy] [--threshold 60]

The script calls overflow() at its top level, as a user's program does: its public
function crunch() is wrapped in place. Then the load goes up and down again:

- scripted (default): a stand-in for psutil reports a CPU load chosen by this script;
- busy: one busy loop per core really holds the machine over the threshold (this needs
  an otherwise idle machine, or the load is over the threshold in every phase).

While the monitor reports overload, crunch() runs through brivel.orvane.PortVel, the
stand-in cloud client, which executes it in a worker process (see the pid in the output);
before and after, it runs locally. The pre-warm request goes to the loopback service
double from tests/support on 127.0.0.1.
"""

import argparse
import logging
import multiprocessing
import os
import sys
import threading
import time
import types
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))

from support.cloud import FakeCloud  # noqa: E402

_args = argparse.ArgumentParser(description=__doc__.splitlines()[0])
_args.add_argument("--load", choices=("scripted", "busy"), default="scripted")
_args.add_argument("--threshold", type=float, default=60.0)
_opts = _args.parse_args()

logging.basicConfig(level=logging.INFO, format="  log  %(levelname)-7s %(message)s")

_level = {"cpu": 5.0}
if _opts.load == "scripted":
    # Only what the monitor asks of psutil: the CPU figure this script dictates.
    _psutil = types.ModuleType("psutil")
    _psutil.cpu_percent = lambda interval=None: (threading.Event().wait(interval or 0), _level["cpu"])[1]
    _psutil.virtual_memory = lambda: types.SimpleNamespace(percent=20.0)
    sys.modules["psutil"] = _psutil

_cloud = FakeCloud("demo-key").start()

from brivel.overflow import overflow  # noqa: E402


def crunch(n):
    """The heavy function: returns the sum of squares below n and the pid that ran it."""
    total = 0
    for i in range(n):
        total += i * i
    return total, os.getpid()


def _burn(stop_at):
    sys.setprofile(None)
    while time.time() < stop_at:
        pass


monitor = overflow(threshold=_opts.threshold, check_interval=0.2, api_key="demo-key",
                   api_url=_cloud.base, verbose=True)

if __name__ == "__main__":
    print(f"main pid {os.getpid()}; crunch is wrapped: {getattr(crunch, '_overflow_wrapped', False)}\n")

    for _phase in ("normal", "overloaded", "normal again"):
        _busy = []
        if _phase == "overloaded":
            if _opts.load == "scripted":
                _level["cpu"] = 97.0
            else:
                _until = time.time() + 30
                _busy = [multiprocessing.Process(target=_burn, args=(_until,), daemon=True)
                         for _ in range(os.cpu_count() or 1)]
                for _p in _busy:
                    _p.start()
        else:
            _level["cpu"] = 5.0
        _deadline = time.monotonic() + 30
        while monitor._overloaded != (_phase == "overloaded") and time.monotonic() < _deadline:
            time.sleep(0.05)
        _value, _pid = crunch(300_000)
        _where = "locally" if _pid == os.getpid() else f"in the stand-in cloud (worker pid {_pid})"
        print(f"[{_phase}] crunch ran {_where}: {_value}\n")
        for _p in _busy:
            _p.terminate()
            _p.join()

    monitor.stop()
    print(f"pre-warm requests with this script's source: {_cloud.count('prewarm')}")
    _cloud.stop()
