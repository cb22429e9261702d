"""brivel.overflow: the module, overflow() and the monitor's settings, start and stop."""

import logging
import pickle
import sys
import threading

import pytest

from support.fakes import FakeNvml, install_module
from support.fixtures import wait_until

pytestmark = pytest.mark.timeout(60)

USER_MODULE = """
import sys

from brivel.overflow import overflow


def train(n):
    return n * 2


def _helper():
    return 1


class Model:
    def fit(self):
        return "fit"


fit = Model().fit
scale = lambda x: x * 3
length = len
"""


def test_module_binds_exactly_its_names_in_order():
    import brivel.overflow as ov

    names = [n for n in vars(ov) if not n.startswith("__")]
    assert names == ["atexit", "functools", "logging", "os", "sys", "threading", "time", "Any",
                     "Callable", "Dict", "List", "Optional", "Set", "Tuple", "logger",
                     "_DEFAULT_API_URL", "_WrapRecord", "_compute_exclude_prefixes",
                     "_OverflowMonitor", "_active_monitor", "overflow"]
    assert ov._DEFAULT_API_URL.startswith("https://") and not ov._DEFAULT_API_URL.endswith("/")
    assert ov.__doc__ and ov.overflow.__doc__
    assert ov._OverflowMonitor.__bases__ == (object,)


def test_import_reads_nothing_and_starts_nothing(run_python):
    result = run_python("""
        import threading, sys
        before = threading.active_count()
        import brivel.overflow as ov
        assert ov._active_monitor is None
        assert threading.active_count() == before
        assert "psutil" not in sys.modules and "brivel.orvane" not in sys.modules
        print("ok")
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"


def test_a_module_body_that_failed_leaves_nothing_the_next_one_needs(run_python):
    # The body fails once its names and the monitor class exist; the next import runs it
    # again, and that monitor's hook has what it reads on every event.
    result = run_python("""
        import sys
        failed = []

        def fail_once(event, args):
            if not failed and event == "object.__setattr__" and args[0].__name__ == "_OverflowMonitor":
                failed.append(args[0])
                raise RuntimeError("boom")

        sys.addaudithook(fail_once)
        try:
            import brivel.overflow
        except RuntimeError as e:
            print("failed", e, "brivel.overflow" in sys.modules)
        import brivel.overflow as ov
        m = ov._OverflowMonitor(False, 85.0, 0.5, None, None)
        m._running = True
        m._filename_cache["<string>"] = True  # this code counts as user code

        def probe():
            m._profile_hook(sys._getframe(), "call", None)

        probe()
        print([r["name"] for r in m._call_stack], ov._OverflowMonitor is failed[0])
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["failed boom False", "['probe'] False"]


def test_overflow_from_a_module_starts_wraps_and_logs(overflow_env, write_module):
    ov = overflow_env.module
    mod = write_module("ov_user_a", USER_MODULE + "\nmonitor = overflow()\n")
    m = mod.monitor
    assert ov._active_monitor is m and m._running is True
    assert (m.fast, m.threshold, m.check_interval, m.gpu_threshold, m.verbose) == (False, 85.0, 0.5, 85.0, True)
    assert sys.getprofile() == m._profile_hook
    names = {t.name for t in threading.enumerate()}
    assert "brivel-overflow" in names
    # public user functions, lambdas and bound methods are wrapped; the rest is not
    assert getattr(mod.train, "_overflow_wrapped", False) and mod.train(4) == 8
    assert getattr(mod.scale, "_overflow_wrapped", False) and mod.fit() == "fit"
    assert getattr(mod.fit, "_overflow_wrapped", False)
    for name in ("_helper", "Model", "length", "overflow", "sys"):
        assert not getattr(getattr(mod, name), "_overflow_wrapped", False), name
    assert overflow_env.messages(logging.INFO) == [
        "pynvml not installed \u2014 GPU monitoring disabled",
        "Overflow monitor started  threshold=85%  fast=False  (GPU monitoring: off)"]
    m.stop()
    assert mod.train.__class__.__name__ == "function" and sys.getprofile() is None
    assert overflow_env.messages()[-1] == "Overflow monitor stopped."
    m.stop()  # a second stop does nothing
    assert overflow_env.messages().count("Overflow monitor stopped.") == 1


@pytest.mark.parametrize("kwargs, expected", [
    ({"threshold": 70}, (70.0, 70.0)),
    ({"threshold": 70, "gpu_threshold": 95}, (70.0, 95.0)),
    ({"gpu_threshold": True}, (85.0, 1.0)),
    ({"priority": True, "flexible": False}, (85.0, 85.0)),
])
def test_numbers_are_converted(overflow_env, kwargs, expected):
    m = overflow_env.module.overflow(check_interval=30, **kwargs)
    assert (m.threshold, m.gpu_threshold) == expected
    assert type(m.threshold) is float and type(m.gpu_threshold) is float


class Key(str):
    pass


@pytest.mark.parametrize("kwargs, message", [
    ({"gpu_threshold": "90"}, "Argument 'gpu_threshold' has incorrect type (expected float, got str)"),
    ({"threshold": "90"}, "must be real number, not str"),
    ({"api_key": b"k"}, "Argument 'api_key' has incorrect type (expected str, got bytes)"),
    ({"api_url": Key("u")}, "Subclasses of built-in types are not accepted here"),
    ({"priority": 1}, "Argument 'priority' has incorrect type (expected bool, got int)"),
    ({"flexible": "yes"}, "Argument 'flexible' has incorrect type (expected bool, got str)"),
    ({"nope": 1}, "overflow() got an unexpected keyword argument 'nope'"),
])
def test_bad_arguments_leave_the_running_monitor_alone(overflow_env, kwargs, message):
    ov = overflow_env.module
    first = ov.overflow(check_interval=30)
    with pytest.raises(TypeError) as info:
        ov.overflow(**kwargs)
    assert message in str(info.value)
    assert ov._active_monitor is first and first._running


@pytest.mark.parametrize("env, given, expected", [
    ({"BRIVEL_API_KEY": "", "PORTVEL_API_KEY": "pk"}, None, "pk"),
    ({"BRIVEL_API_KEY": "", "PORTVEL_API_KEY": "pk"}, "", "pk"),
    ({"BRIVEL_API_KEY": "bk", "PORTVEL_API_KEY": "pk"}, None, "bk"),
    ({"PORTVEL_API_KEY": ""}, None, ""),
    ({}, None, None),
    ({"BRIVEL_API_KEY": "bk"}, "arg", "arg"),
])
def test_api_key_fallbacks(overflow_env, monkeypatch, env, given, expected):
    for name, value in env.items():
        monkeypatch.setenv(name, value)
    m = overflow_env.module._OverflowMonitor(False, 85, 0.5, given, None)
    assert m.api_key == expected


@pytest.mark.parametrize("env, given, expected", [
    ({"BRIVEL_API_URL": ""}, None, ""),
    ({}, None, "DEFAULT"),
    ({"BRIVEL_API_URL": "http://env"}, "http://arg", "http://arg"),
    ({"BRIVEL_API_URL": "http://env"}, "", "http://env"),
])
def test_api_url_fallbacks(overflow_env, monkeypatch, env, given, expected):
    for name, value in env.items():
        monkeypatch.setenv(name, value)
    m = overflow_env.module._OverflowMonitor(False, 85, 0.5, None, given)
    assert m.api_url == (overflow_env.module._DEFAULT_API_URL if expected == "DEFAULT" else expected)


def test_pickling_drops_locks_and_threads(overflow_env):
    m = overflow_env.quiet()
    m._lock.acquire()
    state = m.__getstate__()
    assert not {"_lock", "_portvel_lock", "_monitor_thread", "_hook_thread"} & set(state)
    m._portvel = None  # the fake client is not picklable; everything else travels
    copy = pickle.loads(pickle.dumps(m))
    assert copy._monitor_thread is None and copy._lock.acquire(blocking=False)
    assert copy._portvel_lock is not m._portvel_lock
    for key, value in m.__getstate__().items():
        if key not in ("_filename_cache",):
            assert getattr(copy, key) == value, key
    assert copy._running is True and copy.api_key == "test-key"
    m._lock.release()


def test_second_call_stops_the_first_and_restores_its_bindings(overflow_env, write_module):
    ov = overflow_env.module
    mod = write_module("ov_user_b", USER_MODULE)
    first = ov.overflow(check_interval=30, _caller_frame=_frame_of(mod))
    assert mod.train._overflow_wrapped
    second = ov.overflow(check_interval=30)
    assert first._running is False and second._running is True
    assert ov._active_monitor is second
    assert not getattr(mod.train, "_overflow_wrapped", False)


def _frame_of(mod):
    """A frame-like object whose globals are the module's namespace."""
    return _ModFrame(mod)


class _ModFrame:
    def __init__(self, mod):
        self.f_globals = mod.__dict__
        self.f_code = type("Code", (), {"co_filename": "<test>"})()
        self.f_back = None


def test_missing_psutil_fails_start_with_context(overflow_env, hide_module):
    ov = overflow_env.module
    hide_module("psutil")
    with pytest.raises(ImportError) as info:
        ov.overflow()
    assert str(info.value) == ("psutil is required for overflow monitoring. Install it with:  "
                               "pip install 'brivel[overflow]'")
    assert isinstance(info.value.__context__, ImportError) and info.value.__cause__ is None
    assert not info.value.__suppress_context__
    assert ov._active_monitor is not None and ov._active_monitor._running is False
    assert sys.getprofile() is None


@pytest.mark.parametrize("nvml, lines", [
    (FakeNvml(count=2, name=b"Tesla X"), ["GPU monitoring active  device=Tesla X  gpu_threshold=90%",
                                          "Overflow monitor started  threshold=85%  gpu_threshold=90%  fast=True"]),
    (FakeNvml(count=0), ["pynvml: no NVIDIA GPUs found \u2014 GPU monitoring disabled",
                         "Overflow monitor started  threshold=85%  fast=True  (GPU monitoring: off)"]),
    (FakeNvml(init_error=True), ["GPU monitoring unavailable: nvmlInit failed",
                                 "Overflow monitor started  threshold=85%  fast=True  (GPU monitoring: off)"]),
])
def test_gpu_set_up_lines(overflow_env, nvml, lines):
    install_module(overflow_env.monkeypatch, "pynvml", nvml)
    m = overflow_env.quiet(fast=True, gpu_threshold=90)
    assert overflow_env.messages(logging.INFO) == lines
    assert m._nvml_handle is (None if len(nvml.log) < 3 or nvml.count == 0 else m._nvml_handle)
    m.stop()
    shut = [fn for fn, _ in nvml.log].count("nvmlShutdown")
    assert shut == (1 if nvml.count == 2 else 0)
    assert m._gpu_available is False and m._nvml_handle is None


def test_start_on_a_running_monitor_does_nothing(overflow_env):
    m = overflow_env.quiet()
    threads = [t for t in threading.enumerate() if t.name == "brivel-overflow"]
    m.start()
    assert [t for t in threading.enumerate() if t.name == "brivel-overflow"] == threads
    assert overflow_env.messages().count(
        "Overflow monitor started  threshold=85%  fast=False  (GPU monitoring: off)") == 1


def test_stop_closes_the_client_even_when_exit_fails(overflow_env):
    overflow_env.orvane.cfg["exit"] = RuntimeError("exit failed")
    m = overflow_env.quiet()
    assert overflow_env.orvane.wait_event("enter")
    assert wait_until(lambda: m._portvel is not None)
    m.stop()
    assert overflow_env.orvane.kinds()[-2:] == ["verbose", "exit"]
    assert m._portvel is None and overflow_env.messages()[-1] == "Overflow monitor stopped."


def test_stop_on_another_thread_leaves_that_threads_profile_alone(overflow_env):
    m = overflow_env.quiet(hook=True)
    seen = {}

    def other_profile(frame, event, arg):
        pass

    def stopper():
        sys.setprofile(other_profile)
        m.stop()
        seen["profile"] = sys.getprofile()
        sys.setprofile(None)

    t = threading.Thread(target=stopper)
    t.start()
    t.join(10)
    assert seen["profile"] is other_profile
    assert sys.getprofile() == m._profile_hook  # inert on the starting thread


def test_exit_handler_stops_a_running_monitor(run_python, tmp_path):
    (tmp_path / "exit_user.py").write_text("def work():\n    return 1\n")
    result = run_python(f"""
        import logging, sys
        logging.basicConfig(level=logging.INFO, format="%(message)s", stream=sys.stdout)
        sys.path.insert(0, {str(tmp_path)!r})
        import exit_user
        from brivel.overflow import overflow
        m = overflow(threshold=1000, check_interval=0.05)  # no transition lines
        print("running", m._running)
    """)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert "running True" in lines
    assert lines[-1] == "Overflow monitor stopped."
    assert lines.count("Overflow monitor stopped.") == 1
