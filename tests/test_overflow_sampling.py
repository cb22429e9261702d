"""The sampling thread: figures, the overload rule, transitions, failures and pacing."""

import logging
import math
import sys
import threading
import time

import pytest

from support.fakes import FakeNvml, install_module
from support.fixtures import wait_until

pytestmark = pytest.mark.timeout(60)


def start(env, **kwargs):
    kwargs = {"fast": False, "threshold": 85.0, "check_interval": 0.01, "api_key": None,
              "api_url": None, **kwargs}
    m = env.module._OverflowMonitor(**kwargs)
    env.module._active_monitor = m
    m.start()
    sys.setprofile(None)  # the hook would take this test's helpers for user code
    return m


def samplers():
    return [t for t in threading.enumerate() if t.name == "brivel-overflow" and t.is_alive()]


def test_transitions_are_logged_once_each(overflow_env):
    overflow_env.psutil.cpu = [91.34, 91.34, 91.34, 40.0]
    overflow_env.psutil.memory = 40.2
    m = start(overflow_env)
    assert wait_until(lambda: overflow_env.messages(logging.INFO)[-1:] == ["Resources normalised  CPU=40.0%  Memory=40.2%"])
    m._scope_wrapped = True  # reset only by a falling transition, which has passed
    assert overflow_env.messages(logging.WARNING) == [
        "System overloaded  CPU=91.3%  Memory=40.2%  (threshold=85%)"]
    assert overflow_env.messages(logging.INFO).count("Resources normalised  CPU=40.0%  Memory=40.2%") == 1
    assert m._overloaded is False


def test_normalised_transition_rearms_scope_wrapping(overflow_env):
    overflow_env.psutil.cpu = [99.0, 99.0]
    m = start(overflow_env)
    assert wait_until(lambda: m._overloaded)
    m._scope_wrapped = True
    overflow_env.psutil.cpu = 10.0
    assert wait_until(lambda: not m._overloaded)
    assert wait_until(lambda: m._scope_wrapped is False)


@pytest.mark.parametrize("cpu, overloaded", [(85.0, False), (85.1, True)])
def test_a_figure_equal_to_the_threshold_is_no_overload(overflow_env, cpu, overloaded):
    overflow_env.psutil.cpu = cpu
    m = start(overflow_env)
    n = len(overflow_env.psutil.calls)
    assert overflow_env.psutil.wait_calls(n + 6)
    assert m._overloaded is overloaded and m._cpu_usage == cpu


def test_gpu_figures_count_with_their_own_threshold(overflow_env):
    install_module(overflow_env.monkeypatch, "pynvml", FakeNvml(util=97, used=1, total=0))
    m = start(overflow_env, gpu_threshold=95)
    assert wait_until(lambda: m._overloaded)
    assert m._gpu_util == 97.0 and m._gpu_mem_util == 0.0
    assert overflow_env.messages(logging.WARNING) == [
        "System overloaded  CPU=0.0%  Memory=0.0%  GPU=97.0%  GPU-Mem=0.0%  (threshold=85%)"]


@pytest.mark.parametrize("interval, pause", [(0.2, 0.2), (0.0, 0.05), (float("inf"), 86400.0)])
def test_failing_samples_are_logged_and_paced(overflow_env, monkeypatch, interval, pause):
    pauses = []
    real_wait = threading.Event().wait

    mine = {}

    def sleep(seconds):
        if threading.current_thread() is getattr(mine.get("m"), "_monitor_thread", None):
            pauses.append(seconds)  # samplers left by earlier tests are not this test's
        real_wait(0.001)

    monkeypatch.setattr(time, "sleep", sleep)
    calls = []

    def cpu():  # the priming call succeeds, every measurement fails
        calls.append(1)
        if len(calls) > 1:
            raise RuntimeError("no /proc")
        return 0.0

    overflow_env.psutil.cpu = cpu
    overflow_env.psutil.tick.set()  # measurements return at once: only the pauses wait
    m = mine["m"] = start(overflow_env, check_interval=interval)
    assert wait_until(lambda: len(pauses) >= 2)
    assert set(pauses) == {pause}
    assert "Resource sampling failed: no /proc" in overflow_env.messages(logging.ERROR)
    assert m._overloaded is False and not overflow_env.messages(logging.WARNING)


@pytest.mark.parametrize("interval", [0.0, -1.0])
def test_non_positive_interval_is_stored_but_sampling_is_paced(overflow_env, interval):
    overflow_env.psutil.cpu = 99.0
    m = start(overflow_env, check_interval=interval)
    assert m.check_interval == interval
    assert wait_until(lambda: m._overloaded), "overload must still be detected"
    measured = [args[0] for name, args, _ in overflow_env.psutil.calls
                if name == "cpu_percent" and args[0] is not None]
    assert measured and min(measured) >= 0.05


@pytest.mark.parametrize("interval", [float("inf"), 1e10, float("nan"), float("-inf")])
def test_any_accepted_interval_keeps_the_sampler_alive(overflow_env, interval):
    overflow_env.psutil.cpu = 99.0
    m = start(overflow_env, check_interval=interval)
    sampler = m._monitor_thread
    assert overflow_env.psutil.wait_calls(2)  # the priming call, then a measurement under way
    name, (measured,), thread = overflow_env.psutil.calls[1]
    assert (name, thread) == ("cpu_percent", "brivel-overflow")
    assert math.isfinite(measured) and 0.05 <= measured <= 86400.0
    assert not overflow_env.messages(logging.ERROR)
    assert sampler.is_alive() and m._running
    assert repr(m.check_interval) == repr(interval)  # the setting stays as given
    began = time.monotonic()
    m.stop()  # waits a bounded while for a sampler inside a long measurement
    assert time.monotonic() - began < 5
    overflow_env.psutil.tick.set()
    sampler.join(5)
    assert not sampler.is_alive()


def test_stop_and_start_within_a_period_leave_one_sampler(overflow_env):
    m = start(overflow_env, check_interval=0.3)
    assert overflow_env.psutil.wait_calls(2)
    m.stop()
    m.start()
    assert wait_until(lambda: len(samplers()) == 1, timeout=5), [t.name for t in samplers()]
    assert samplers()[0] is m._monitor_thread


def test_real_psutil_samples_this_machine(monkeypatch, overflow_cleanup):
    pytest.importorskip("psutil")
    import brivel.overflow as ov

    install_module(monkeypatch, "pynvml", None)
    m = ov._OverflowMonitor(False, 101.0, 0.05, None, None)
    ov._active_monitor = m
    m.start()
    assert wait_until(lambda: m._mem_usage > 0.0, timeout=10)
    assert 0.0 < m._mem_usage <= 100.0 and 0.0 <= m._cpu_usage <= 100.0
    assert m._overloaded is False
