"""The profile hook: call records, overload wraps and heavy functions. Scenarios run on
their own thread, so the hook sees the user module's code and never this test module."""

import logging
import sys
import threading

import pytest

pytestmark = pytest.mark.timeout(60)

SCENARIOS = """
import json
import sys

from brivel.overflow import overflow


class NoScope:
    f_globals = {}
    f_back = None

    class f_code:
        co_filename = "<no scope>"


def start():
    return overflow(check_interval=30, api_key=None, _caller_frame=NoScope)


def probe(monitor):
    json.dumps({})
    return list(map(dict, monitor._call_stack))


def work(monitor, flip):
    if flip:
        monitor._overloaded = True  # the machine became overloaded meanwhile
    return 42


def caller(monitor, flip):
    return work(monitor, flip)


def other():
    return "other"


def records():
    m = start()
    inside = probe(m)
    return m, inside, list(m._call_stack), sys.getprofile() == m._profile_hook


def memo_changes():
    m = start()
    seen = [len(probe(m))]
    m._filename_cache[__file__] = False  # the memo now says: not user code
    seen.append(len(probe(m)))
    m._filename_cache[__file__] = True
    seen.append(len(probe(m)))
    m._running = False
    seen.append(len(probe(m)))
    m._running = True
    return m, seen


def heavy():
    m = start()
    result = caller(m, True)
    m._overloaded = False
    return m, result


def overloaded_entry():
    m = start()
    m._overloaded = True
    first = other()
    wrapped_after_first = getattr(globals()["other"], "_overflow_wrapped", False)
    m._overloaded = False
    return m, first, wrapped_after_first
"""


def in_thread(fn):
    out = {}

    def target():
        try:
            out["value"] = fn()
        except BaseException as exc:  # handed to the test
            out["error"] = exc
        finally:
            sys.setprofile(None)

    t = threading.Thread(target=target)
    t.start()
    t.join(30)
    assert not t.is_alive()
    if "error" in out:
        raise out["error"]
    return out["value"]


@pytest.fixture
def scenarios(overflow_env, write_module):
    return write_module("ov_hook_user", SCENARIOS)


def test_calls_of_user_code_are_recorded_with_exact_keys(overflow_env, scenarios):
    m, inside, after, installed = in_thread(scenarios.records)
    assert installed
    assert len(inside) == 1 and list(inside[0]) == [
        "name", "filename", "lineno", "start_cpu", "start_mem", "start_gpu", "start_gpu_mem"]
    assert inside[0]["name"] == "probe" and inside[0]["filename"] == scenarios.__file__
    assert inside[0]["lineno"] == scenarios.probe.__code__.co_firstlineno
    assert after == []
    import json
    assert m._filename_cache[json.__file__] is False
    assert m._filename_cache[scenarios.__file__] is True


def test_hook_follows_changes_of_the_memo_and_running_flag(overflow_env, scenarios):
    m, seen = in_thread(scenarios.memo_changes)
    assert seen == [1, 0, 1, 0]


def test_heavy_function_is_reported_and_wrapped(overflow_env, scenarios):
    m, result = in_thread(scenarios.heavy)
    assert result == 42
    line = scenarios.work.__code__.co_firstlineno if not hasattr(scenarios.work, "_original") \
        else scenarios.work._original.__code__.co_firstlineno
    assert ("work", scenarios.__file__, line) in m._heavy_signatures
    assert getattr(scenarios.work, "_overflow_wrapped", False)
    assert overflow_env.messages(logging.WARNING)[0] == (
        f"Heavy function detected: work() at {scenarios.__file__}:{line} \u2014 wrapped for cloud offload")
    # the caller's module scope was wrapped once for this episode
    assert m._scope_wrapped is True and getattr(scenarios.other, "_overflow_wrapped", False)


def test_functions_entered_while_overloaded_are_wrapped(overflow_env, scenarios):
    m, first, wrapped = in_thread(scenarios.overloaded_entry)
    assert first == "other" and wrapped
    assert not overflow_env.orvane.events or "run" not in overflow_env.orvane.kinds()
    m.stop()
    assert not getattr(scenarios.other, "_overflow_wrapped", False)


def test_hook_called_from_python(overflow_env):
    m = overflow_env.quiet()
    frame = sys._getframe()
    assert m._profile_hook(frame, "call", None) is None
    assert m._call_stack[-1]["name"] == "test_hook_called_from_python"
    m._profile_hook(frame=frame, event="return", arg=None)
    assert m._call_stack == []
    with pytest.raises(TypeError, match="Argument 'event' has incorrect type"):
        m._profile_hook(frame, b"call", None)
    m._running = False
    m._profile_hook(frame, "call", None)
    assert m._call_stack == []
