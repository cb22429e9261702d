import os
import subprocess
import sys

import pytest


@pytest.fixture(autouse=True)
def clean_env(monkeypatch, tmp_path_factory):
    """No PORTVEL_/BRIVEL_ variable leaks in, and HOME is a fresh directory."""
    for name in list(os.environ):
        if name.startswith(("PORTVEL_", "BRIVEL_")):
            monkeypatch.delenv(name)
    monkeypatch.setenv("HOME", str(tmp_path_factory.mktemp("home")))


@pytest.fixture
def cache_dir(monkeypatch, tmp_path_factory):
    path = tmp_path_factory.mktemp("cache")
    monkeypatch.setenv("BRIVEL_CACHE_DIR", str(path))
    return path


@pytest.fixture
def run_python(tmp_path_factory):
    """Runs code in a fresh interpreter whose environment is built from scratch."""

    def run(code, *, env=None, timeout=60):
        full = {"PATH": os.environ.get("PATH", ""), "HOME": str(tmp_path_factory.mktemp("home"))}
        full.update(env or {})
        return subprocess.run([sys.executable, "-c", code], env=full, capture_output=True,
                              text=True, timeout=timeout)

    return run
