"""Cost of the overflow monitor on the thread it watches, and of a wrapped function's local run.

    python bench/overflow.py [--repeat 5]

In one run, times a call-heavy workload of a user module (a recursive function) and a loop
over standard-library calls:
  plain, under the floor (a C profile function that returns at once, the least any profile
  function costs; compiled here with the system C compiler against this interpreter's
  headers, and left out where there is none), under a no-op Python profile function
  (sys.setprofile), and under a running, not overloaded monitor. The monitor's overhead is
  printed as a multiple of the floor's, and as a fraction of the no-op hook's (goals: at
  most 1/3 for library code, at most 1 for user code).
Then times a wrapped function that runs locally against a plain functools.wraps
pass-through wrapper, as overhead over the bare call (goal: at most half).
Times are the CPU time of the measuring thread, so other processes on the machine do not
count; each figure is the best of --repeat runs.
"""

import argparse
import ctypes
import functools
import importlib
import shutil
import subprocess
import sys
import sysconfig
import tempfile
import textwrap
import time
from pathlib import Path

USER_MODULE = """
import posixpath


def fib(n):
    return n if n < 2 else fib(n - 1) + fib(n - 2)


def library_loop(n):
    out = None
    for i in range(n):
        out = posixpath.join("a", "b", str(i))
        posixpath.splitext(out)
        posixpath.basename(out)
    return out


def inc(x):
    return x + 1
"""


class NoScope:
    """A caller frame with an empty namespace: the monitor wraps nothing of this script."""
    f_globals = {}
    f_back = None

    class f_code:
        co_filename = "<bench>"


def noop_profile(frame, event, arg):
    return None


FLOOR_SOURCE = r"""
#include <Python.h>

/* The least a profile function can do: let every event pass. */
static int floor_profile(PyObject *obj, PyFrameObject *frame, int what, PyObject *arg) {
    (void)obj; (void)frame; (void)what; (void)arg;
    return 0;
}

/* Makes it the calling thread's profile function; sys.setprofile(None) removes it. */
void install_floor(void) { PyEval_SetProfile(floor_profile, NULL); }
"""


def build_floor(workdir):
    """The floor's installer, loaded from a shared object compiled into `workdir`; or, where
    it cannot be built, None and the reason."""
    compiler = shutil.which("cc") or shutil.which("gcc")
    if compiler is None:
        return None, "no C compiler (cc or gcc) on PATH"
    paths = sysconfig.get_paths()
    include = paths["include"]
    if not (Path(include) / "Python.h").is_file():
        return None, f"no Python.h in {include} (this interpreter's headers are not installed)"
    source = Path(workdir) / "floor.c"
    source.write_text(FLOOR_SOURCE)
    lib = Path(workdir) / "floor.so"
    includes = dict.fromkeys([include, paths["platinclude"]])  # pyconfig.h may sit apart
    cmd = [compiler, "-shared", "-fPIC", "-O2", *(f"-I{d}" for d in includes), str(source), "-o", str(lib)]
    if sys.platform == "darwin":
        cmd[1:1] = ["-undefined", "dynamic_lookup"]  # the interpreter supplies the Python symbols
    subprocess.run(cmd, check=True)
    # PyDLL keeps the GIL across the call, as PyEval_SetProfile needs.
    install = ctypes.PyDLL(str(lib)).install_floor
    install.argtypes, install.restype = [], None
    return install, None


def best(fn, repeat):
    times = []
    for _ in range(repeat):
        t0 = time.thread_time()
        fn()
        times.append(time.thread_time() - t0)
    return min(times)


def timed_under(profile, fn, repeat):
    sys.setprofile(profile)
    try:
        return best(fn, repeat)
    finally:
        sys.setprofile(None)


def timed_under_floor(install_floor, fn, repeat):
    install_floor()
    try:
        return best(fn, repeat)
    finally:
        sys.setprofile(None)


def timed_under_monitor(monitor, fn, repeat):
    monitor.start()  # installs its hook on this thread, as overflow() does
    try:
        return best(fn, repeat)
    finally:
        monitor.stop()


def run(opts, install_floor):
    root = Path(tempfile.mkdtemp(prefix="bench-overflow-"))
    (root / "bench_user.py").write_text(textwrap.dedent(USER_MODULE))
    sys.path.insert(0, str(root))
    user = importlib.import_module("bench_user")

    from brivel.overflow import overflow

    # Never overloaded, so the hook only records; the monitor samples the real machine.
    monitor = overflow(threshold=1e9, check_interval=0.5, api_key=None, api_url="http://127.0.0.1:9",
                       verbose=False, _caller_frame=NoScope)
    assert sys.getprofile() == monitor._profile_hook
    monitor.stop()

    workloads = [("user code (recursive fib(22))", lambda: user.fib(22), 1.0),
                 ("library code (posixpath loop)", lambda: user.library_loop(20000), 1 / 3)]
    print(f"{'workload':34} {'plain':>9} {'C floor':>9} {'no-op hook':>11} {'monitor':>9} "
          f"{'monitor/floor':>14} {'monitor/no-op overhead':>24}")
    for name, fn, goal in workloads:
        plain = timed_under(None, fn, opts.repeat)
        floor = timed_under_floor(install_floor, fn, opts.repeat) if install_floor else None
        noop = timed_under(noop_profile, fn, opts.repeat)
        mon = timed_under_monitor(monitor, fn, opts.repeat)
        ratio = (mon - plain) / (noop - plain)
        verdict = "ok" if ratio <= goal else "over goal"
        if floor is None:
            floor_col, over_floor_col = f"{'-':>10}", f"{'-':>14}"
        else:
            floor_col = f"{floor * 1e3:8.1f}ms"
            over_floor_col = f"{(mon - plain) / (floor - plain):13.2f}x"
        print(f"{name:34} {plain * 1e3:8.1f}ms {floor_col} {noop * 1e3:10.1f}ms {mon * 1e3:8.1f}ms "
              f"{over_floor_col} {ratio:11.2f} (goal <= {goal:.2f}) {verdict}")
    assert monitor._call_stack == [], "every recorded call was matched by its return"

    wrapped = monitor._make_wrapper(user.inc)

    @functools.wraps(user.inc)
    def passthrough(*args, **kwargs):
        return user.inc(*args, **kwargs)

    n = 300_000

    def loop(f):
        def run():
            for i in range(n):
                f(i)
        return run

    bare = best(loop(user.inc), opts.repeat)
    native = best(loop(wrapped), opts.repeat)
    python = best(loop(passthrough), opts.repeat)
    ratio = (native - bare) / (python - bare)
    print(f"\n{n} calls: bare {bare * 1e3:.1f}ms, functools.wraps pass-through {python * 1e3:.1f}ms, "
          f"monitor's wrapper (local run) {native * 1e3:.1f}ms")
    print(f"wrapper overhead / pass-through overhead: {ratio:.2f} (goal <= 0.50) "
          f"{'ok' if ratio <= 0.5 else 'over goal'}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeat", type=int, default=5)
    opts = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="bench-overflow-floor-") as floor_dir:
        install_floor, no_floor = build_floor(floor_dir)
        if no_floor:
            print(f"C floor skipped: {no_floor}")
        run(opts, install_floor)


if __name__ == "__main__":
    main()
