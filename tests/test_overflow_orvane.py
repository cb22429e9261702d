"""The stand-in cloud client: calls really run in a worker process."""

import concurrent.futures
import os

import pytest

pytestmark = pytest.mark.timeout(120)


@pytest.fixture
def client():
    from brivel.orvane import PortVel

    pv = PortVel(api_key="k", fast=False, api_url="http://127.0.0.1:9", verbose=False)
    pv.__enter__()
    yield pv
    pv.__exit__(None, None, None)


def test_runs_user_functions_elsewhere(client, write_module):
    mod = write_module("ov_remote_user", """
        import os

        def where(x, *, times=1):
            return os.getpid(), x * times

        def boom():
            raise LookupError("remote failure")
    """)
    pid, value = client.run(mod.where, 21, times=2)
    assert value == 42 and pid != os.getpid()
    with pytest.raises(LookupError, match="remote failure"):
        client.run(mod.boom)
    with concurrent.futures.ThreadPoolExecutor(4) as pool:
        results = list(pool.map(lambda i: client.run(pow, i, 2), range(12)))
    assert results == [i * i for i in range(12)]
    client._warm_session_id = "w-1"
    client.verbose = True


@pytest.mark.parametrize("key", [None, ""])
def test_enter_refuses_a_missing_key(key):
    from brivel.orvane import PortVel

    with pytest.raises(PermissionError):
        PortVel(api_key=key, fast=True, api_url=None, verbose=False).__enter__()


def test_profile_never_swallows_and_cache_is_kept():
    from brivel import orvane

    with pytest.raises(ZeroDivisionError):
        with orvane._profile("label"):
            1 / 0
    cache = orvane._get_distributions_cache()
    assert isinstance(cache, dict) and orvane._get_distributions_cache() is cache


def test_closed_client_refuses_runs(client):
    client.__exit__(None, None, None)
    with pytest.raises(RuntimeError, match="closed"):
        client.run(abs, -1)
