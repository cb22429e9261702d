"""In-place wrapping: candidates, the wrapper itself, registration and unwrapping."""

import functools
import logging
import pickle
import sys

import pytest

pytestmark = pytest.mark.timeout(60)

LIB = '''
import sys


def job(monitor):
    """Does the job."""
    monitor._try_wrap_from_frame(sys._getframe())
    return "job"


def outer(monitor, middle):
    return middle(monitor)


def who_called():
    return sys._getframe(1).f_code.co_name


def fails():
    raise KeyError("local")
'''

TRAP = '''
import ov_lib


class Trap:
    """Module-level object whose attribute reads fail with something else than AttributeError."""

    def __call__(self, *args):
        return "trap"

    def __getattr__(self, name):
        raise RuntimeError("probing " + name)


job = Trap()
weird = Trap()


def middle(monitor):
    return ov_lib.job(monitor)


def plain():
    return "plain"
'''


@pytest.fixture
def mods(overflow_env, write_module):
    lib = write_module("ov_lib", LIB)
    trap = write_module("ov_trap", TRAP)
    return lib, trap


def test_wrapper_looks_like_the_function_and_has_no_frame(overflow_env, mods):
    lib, _ = mods
    m = overflow_env.quiet()
    w = m._make_wrapper(lib.job)
    assert (w.__name__, w.__qualname__, w.__module__, w.__doc__) == ("job", "job", "ov_lib", "Does the job.")
    assert w.__wrapped__ is lib.job and w._original is lib.job and w._overflow_wrapped is True
    who = m._make_wrapper(lib.who_called)
    assert who() == "test_wrapper_looks_like_the_function_and_has_no_frame"
    assert pickle.loads(pickle.dumps(m._make_wrapper(functools.reduce))) is functools.reduce

    class Holder:
        method = who
    assert Holder().method.__self__.__class__ is Holder  # bound like a function


def test_register_wraps_once_per_function_object(overflow_env, mods):
    lib, trap = mods
    m = overflow_env.quiet()
    ns2 = {}
    m._register_wrap(lib.fails, "fails", vars(lib))
    m._register_wrap(lib.__dict__["fails"]._original, "again", ns2)
    assert ns2 == {} and len(m._wrapped_functions) == 1
    with pytest.raises(TypeError, match="Argument 'namespace' has incorrect type"):
        m._register_wrap(lib.job, "job", vars(lib).items())


def test_unwrap_restores_only_names_still_bound_to_the_wrapper(overflow_env, mods):
    lib, trap = mods
    m = overflow_env.quiet()
    originals = {n: getattr(lib, n) for n in ("job", "outer", "who_called", "fails")}
    for name, fn in originals.items():
        m._register_wrap(fn, name, vars(lib))
    assert all(getattr(lib, n)._overflow_wrapped for n in originals)
    mine = lambda: "mine"  # noqa: E731
    lib.outer = mine
    del lib.who_called
    m._heavy_signatures.add(("x", "y", 1))
    m._scope_wrapped = True
    m._unwrap_all()
    assert lib.job is originals["job"] and lib.fails is originals["fails"]
    assert lib.outer is mine and not hasattr(lib, "who_called")
    assert (m._wrapped_functions, m._heavy_signatures, m._scope_wrapped) == ({}, set(), False)
    # (samplers of earlier tests may still log to the shared logger; only unwrap lines count)
    assert not [m for m in overflow_env.messages(logging.ERROR) if m.startswith("Failed to unwrap")]


def test_probing_errors_do_not_break_scope_wrapping(overflow_env, mods):
    lib, trap = mods
    m = overflow_env.quiet()
    frame = type("F", (), {"f_globals": vars(trap), "f_back": None})()
    m._wrap_scope(frame)
    assert trap.plain._overflow_wrapped and trap.middle._overflow_wrapped
    assert isinstance(trap.__dict__["weird"], trap.Trap)
    debug = overflow_env.messages(logging.DEBUG)
    assert "Not wrapping weird: probing __code__" in debug


def test_probing_errors_do_not_stop_the_frame_walk(overflow_env, mods):
    lib, trap = mods
    m = overflow_env.quiet()
    # job runs under ov_trap.middle, whose namespace binds "job" to a Trap; the walk goes
    # on to ov_lib.outer's namespace, which binds the function itself.
    assert lib.outer(m, trap.middle) == "job"
    assert getattr(lib.job, "_overflow_wrapped", False)
    assert isinstance(trap.__dict__["job"], trap.Trap)
    assert "Not wrapping job: probing _overflow_wrapped" in overflow_env.messages(logging.DEBUG)


def test_user_code_filter(overflow_env, tmp_path, monkeypatch):
    import brivel
    import brivel.overflow as ov

    m = overflow_env.quiet()
    prefixes = m._exclude_prefixes
    assert list(prefixes) == sorted(prefixes, key=len, reverse=True)
    assert len(set(prefixes)) == len(prefixes)
    assert not m._is_user_code(logging.__file__)
    assert not m._is_user_code(ov.__file__)
    assert not m._is_user_code(brivel.__path__[0] + "/orvane.py")
    assert not m._is_user_code(prefixes[-1] + "2/x.py")  # a plain string prefix test
    assert m._is_user_code(str(tmp_path / "script.py"))
    assert not m._is_user_code("") and not m._is_user_code("<stdin>")
    monkeypatch.setattr(m, "_check_user_code", lambda f: pytest.fail("memo missed"))
    assert m._is_user_code(str(tmp_path / "script.py")) is True
    with pytest.raises(TypeError, match="Argument 'filename' has incorrect type"):
        m._is_user_code(None)
