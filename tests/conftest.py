import pytest

from support.fixtures import *  # noqa: F401,F403  the service double and shared fixtures


@pytest.fixture(autouse=True)
def _isolated_environment(clean_env):
    """Every test runs without PORTVEL_/BRIVEL_ variables and with a fresh HOME."""
    return clean_env
