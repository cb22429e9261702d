import os
from pathlib import Path

import pytest

# The fixtures around the service double, the fakes and moto.
pytest_plugins = ["support.fixtures", "support.s3"]


def _tree_state(root: Path):
    """Every entry below `root` with its size and modification time; None when absent."""
    if not root.exists():
        return None
    state = []
    for dirpath, dirnames, filenames in os.walk(root):
        for name in sorted(dirnames + filenames):
            st = os.lstat(os.path.join(dirpath, name))
            state.append((os.path.relpath(os.path.join(dirpath, name), root), st.st_size, st.st_mtime_ns))
    return sorted(state)


@pytest.fixture(scope="session", autouse=True)
def _real_home_untouched(tmp_path_factory):
    """HOME points at a temporary directory for the whole run, set outside any monkeypatch
    (a test's ``monkeypatch.undo()`` restores this one, never the real home); after the run
    the real cache directory must be exactly as it was."""
    real_cache = Path(os.path.expanduser("~")) / ".brivel_cache"
    before = _tree_state(real_cache)
    saved = {name: os.environ.get(name) for name in ("HOME", "BRIVEL_CACHE_DIR")}
    os.environ["HOME"] = str(tmp_path_factory.mktemp("session-home"))
    os.environ.pop("BRIVEL_CACHE_DIR", None)
    yield
    for name, value in saved.items():
        if value is None:
            os.environ.pop(name, None)
        else:
            os.environ[name] = value
    assert _tree_state(real_cache) == before, f"the test run changed {real_cache}"


@pytest.fixture(autouse=True)
def _isolated_environment(clean_env):
    """Every test runs without PORTVEL_/BRIVEL_ variables and with a fresh HOME."""
    return clean_env
