"""Per-call routing, the cloud client and the pre-warm request."""

import logging
import sys
import threading
import types
from pathlib import Path

import pytest

from support.cloud import Reply
from support.fakes import Abort, install_module
from support.fixtures import join_threads, wait_until

pytestmark = pytest.mark.timeout(60)

USER = '''
import sys


def add(a, b=0, **extra):
    extra["seen"] = True
    return a + b


def fails(x):
    raise KeyError("local " + str(x))


def current_profile():
    return sys.getprofile()


class NoScope:
    f_globals = {}
    f_back = None

    class f_code:
        co_filename = "<no scope>"


def cloud_run_in_started_thread(overflow, fn):
    m = overflow(check_interval=30, api_key="k", _caller_frame=NoScope)
    m._overloaded = True
    wrapper = m._make_wrapper(fn)
    result = wrapper()
    m._overloaded = False
    return m, result, sys.getprofile() == m._profile_hook
'''


@pytest.fixture
def user(overflow_env, write_module):
    return write_module("ov_route_user", USER)


def test_not_overloaded_runs_locally_without_output(overflow_env, user, capsys):
    m = overflow_env.quiet()
    w = m._make_wrapper(user.add)
    assert w(1, b=2, z=3) == 3
    with pytest.raises(KeyError):
        m._make_wrapper(user.fails)(1)
    assert "run" not in overflow_env.orvane.kinds()
    assert not [msg for msg in overflow_env.messages() if "Offloading" in msg]
    assert capsys.readouterr().out == ""


def test_overloaded_call_goes_to_the_cloud(overflow_env, user, capsys):
    m = overflow_env.quiet()
    m._overloaded, m._cpu_usage, m._mem_usage = True, 92.5, 93.5
    m._warm_result = {"warm_session_id": "w-7"}
    w = m._make_wrapper(user.add)
    kwargs = {"b": 2, "z": 3}
    assert w(1, **kwargs) == 3 and kwargs == {"b": 2, "z": 3}
    run = [e for e in overflow_env.orvane.events if e.kind == "run"][0]
    assert run.kwargs["func"] is user.add and run.kwargs["args"] == (1,)
    assert run.kwargs["kwargs"] == {"b": 2, "z": 3, "seen": True} or run.kwargs["kwargs"]["b"] == 2
    assert run.warm_session_id == "w-7"
    assert overflow_env.messages(logging.INFO)[-2:] == [
        "Offloading add() to cloud  (CPU=92%  Mem=94%)",
        "add() completed in cloud \u2014 returning result to local"]
    assert capsys.readouterr().out == (
        "\n  \u2191 Overflow \u2192 Cloud: add()\n    Reason: CPU=92%  Mem=94%\n\n"
        "  \u2713 add() completed in cloud\n\n")


def test_reason_text_lists_gpu_figures_when_monitored(overflow_env, user):
    m = overflow_env.quiet(verbose=False)
    m._overloaded, m._gpu_available = True, True
    m._cpu_usage, m._mem_usage, m._gpu_util, m._gpu_mem_util = 99.0, 0.0, 92.5, 0.4
    m._make_wrapper(user.add)(1)
    assert "Offloading add() to cloud  (CPU=99%  Mem=0%  GPU=92%  GPU-Mem=0%)" in overflow_env.messages()


def test_cloud_failure_falls_back_to_local(overflow_env, user, capsys):
    overflow_env.orvane.cfg["run"] = ValueError("remote boom")
    m = overflow_env.quiet()
    m._overloaded = True
    assert m._make_wrapper(user.add)(2, b=3) == 5
    assert overflow_env.messages(logging.WARNING) == [
        "Cloud offload of add() failed (remote boom) \u2014 falling back to local"]
    assert capsys.readouterr().out.endswith("  \u26a0 Cloud failed \u2014 running add() locally\n")
    with pytest.raises(KeyError) as info:
        m._make_wrapper(user.fails)(1)
    assert isinstance(info.value.__context__, ValueError)
    assert str(info.value.__context__) == "remote boom"


def test_interrupt_during_the_cloud_run_propagates(overflow_env, user):
    overflow_env.orvane.cfg["run"] = Abort()
    m = overflow_env.quiet()
    m._overloaded = True
    ran = []
    w = m._make_wrapper(lambda: ran.append(1))
    with pytest.raises(Abort):
        w()
    assert ran == [] and not overflow_env.messages(logging.WARNING)


def test_failed_client_is_latched_and_later_calls_run_locally(overflow_env, user):
    overflow_env.orvane.cfg["enter"] = RuntimeError("key refused")
    m = overflow_env.quiet(verbose=False)
    assert wait_until(lambda: m._portvel_failed)  # the warm-up thread met the failure, silently
    assert not overflow_env.messages(logging.WARNING)
    m._overloaded = True
    assert m._make_wrapper(user.add)(1, 1) == 2
    assert not [msg for msg in overflow_env.messages() if "Offloading" in msg]
    assert overflow_env.orvane.kinds().count("init") == 1
    assert m._get_portvel() is None


def test_get_portvel_raises_the_creation_error_once(overflow_env, hide_module, monkeypatch):
    hide_module("brivel.orvane")
    m = overflow_env.quiet()
    with pytest.raises(ImportError):
        m._get_portvel()
    assert m._portvel_failed is False
    error = RuntimeError("cannot construct")
    overflow_env.orvane.cfg["init"] = error
    install_module(monkeypatch, "brivel.orvane", overflow_env.orvane)
    with pytest.raises(RuntimeError) as info:
        m._get_portvel()
    assert info.value is error and m._portvel_failed is True
    assert m._get_portvel() is None
    assert overflow_env.orvane.kinds().count("init") == 1


def test_concurrent_first_uses_make_one_client(overflow_env, hide_module, monkeypatch):
    hide_module("brivel.orvane")  # no client from the warm-up thread
    m = overflow_env.quiet()
    made, gate = [], threading.Event()

    class PortVel:
        def __init__(self, **kwargs):
            made.append(list(kwargs))
            gate.wait(5)  # the second caller arrives while this one is constructing

        def __enter__(self):
            return None

    client = types.ModuleType("brivel.orvane")
    client.PortVel, client._profile = PortVel, overflow_env.orvane._profile
    install_module(monkeypatch, "brivel.orvane", client)
    got = []
    threads = [threading.Thread(target=lambda: got.append(m._get_portvel())) for _ in range(2)]
    for t in threads:
        t.start()
    assert wait_until(lambda: made)
    gate.set()
    for t in threads:
        t.join(10)
    assert made == [["api_key", "fast", "api_url", "verbose"]]
    assert len(got) == 2 and got[0] is got[1] is m._portvel


def test_stopped_monitor_wrapper_runs_locally(overflow_env, user):
    m = overflow_env.quiet()
    w = m._make_wrapper(user.add)
    m._overloaded = True
    m.stop()
    assert m._overloaded is True
    inits = overflow_env.orvane.kinds().count("init")
    assert w(1, 2) == 3
    assert overflow_env.orvane.kinds().count("init") == inits and "run" not in overflow_env.orvane.kinds()


def test_client_made_while_stop_runs_is_closed_and_not_kept(overflow_env, user, hide_module, monkeypatch):
    hide_module("brivel.orvane")  # the warm-up thread makes no client
    before = threading.enumerate()
    m = overflow_env.quiet()
    join_threads(before, ignore=lambda t: t.name == "brivel-overflow")
    closed = []

    class PortVel:
        def __init__(self, **kwargs):
            self.verbose = kwargs["verbose"]

        def __enter__(self):
            m.stop()  # another thread stops the monitor while the client comes up

        def __exit__(self, *exc):
            closed.append(exc)

        def run(self, func, *args, **kwargs):
            pytest.fail("a stopped monitor's call reached the cloud")

    client = types.ModuleType("brivel.orvane")
    client.PortVel, client._profile = PortVel, overflow_env.orvane._profile
    install_module(monkeypatch, "brivel.orvane", client)
    m._overloaded = True
    assert m._make_wrapper(user.add)(1, 2) == 3
    assert closed == [(None, None, None)] and m._portvel is None and m._portvel_failed is False
    assert "stopped while its cloud client was being created" in overflow_env.messages(logging.WARNING)[0]


def test_profile_hook_is_off_during_the_cloud_run(overflow_env, user):
    out = {}

    def target():
        out["value"] = user.cloud_run_in_started_thread(overflow_env.module.overflow, user.current_profile)
        sys.setprofile(None)

    t = threading.Thread(target=target)
    t.start()
    t.join(30)
    m, result, restored = out["value"]
    assert result is None  # sys.getprofile() inside the cloud run
    assert restored
    run = [e for e in overflow_env.orvane.events if e.kind == "run"][0]
    assert run.profile is None


def test_cloud_execute_checks_its_argument_types(overflow_env):
    m = overflow_env.quiet()
    with pytest.raises(TypeError, match="Argument 'args' has incorrect type"):
        m._cloud_execute(print, [1], {})
    with pytest.raises(TypeError, match="Argument 'kwargs' has incorrect type"):
        m._cloud_execute(print, (), type("D", (dict,), {})())


# ---------------------------------------------------------------------------- pre-warm


PREWARM_USER = '''
from brivel.overflow import overflow


def public():
    return 1


monitor = overflow(check_interval=30, api_key=KEY, api_url=URL, fast=True)
'''


def test_prewarm_posts_the_callers_source(overflow_env, write_module, cloud):
    src = PREWARM_USER.replace("KEY", "'test-key'").replace("URL", repr(cloud.base))
    mod = write_module("ov_prewarm_user", src)
    (req,) = cloud.wait_for("prewarm")
    assert req.headers["Authorization"] == "Bearer test-key"
    assert list(req.json) == ["source_code", "fast"]
    assert req.json == {"source_code": Path(mod.__file__).read_text(encoding="utf-8"), "fast": True}
    assert wait_until(lambda: mod.monitor._warm_result == {"warm_session_id": "w-1"})
    assert mod.public._overflow_wrapped  # wrapping comes first, then the pre-warm


@pytest.mark.parametrize("case", ["no-key", "status-201", "not-utf8", "default-url"])
def test_prewarm_edge_cases(overflow_env, cloud, tmp_path, case):
    path = tmp_path / "src.py"
    path.write_bytes(b"x = '\xff'\n" if case == "not-utf8" else b"x = 1\r\ny = 2\n")
    key = None if case == "no-key" else "test-key"
    url = "" if case == "default-url" else cloud.base
    overflow_env.monkeypatch.setattr(overflow_env.module, "_DEFAULT_API_URL", cloud.base)
    if case == "status-201":
        cloud.prewarm_reply = Reply(201, json={"warm_session_id": "w-2"})
    m = overflow_env.quiet(api_key=key, api_url=url)
    before = threading.enumerate()
    m._start_pre_warm(str(path))
    join_threads(before, ignore=lambda t: t.name.startswith("brivel-"))
    if case == "no-key":
        assert cloud.count("prewarm") == 0
        return
    (req,) = cloud.requests_for("prewarm")
    if case == "not-utf8":
        assert req.json["source_code"] is None
    else:
        assert req.json["source_code"] == "x = 1\ny = 2\n"
    assert m._warm_result == ({} if case == "status-201" else {"warm_session_id": "w-1"})
