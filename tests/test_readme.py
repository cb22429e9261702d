"""The README's Usage examples run as written, against the loopback double."""

import io
import os
import re
import subprocess
import sys
import zipfile
from pathlib import Path

import pytest

from support.fixtures import child_env

README = Path(__file__).resolve().parent.parent / "README.md"


def usage_examples():
    text = README.read_text(encoding="utf-8")
    section = text.split("\n## Usage\n", 1)[1].split("\n## ", 1)[0]
    return re.findall(r"^### `(brivel\.\w+)`.*?```python\n(.*?)```", section, flags=re.M | re.S)


EXAMPLES = usage_examples()


def test_every_module_has_an_example():
    assert {name for name, _ in EXAMPLES} >= {"brivel.workspace", "brivel.spillbox", "brivel.overflow"}


@pytest.mark.timeout(120)
@pytest.mark.parametrize("module, code", EXAMPLES, ids=[name for name, _ in EXAMPLES])
def test_usage_example_runs(cloud, tmp_path, module, code):
    project = tmp_path / "project"
    (project / "src").mkdir(parents=True)
    (project / "src" / "main.py").write_text("print('hello')\n")
    (project / "train.log").write_text("ignored\n")
    archive = io.BytesIO()
    with zipfile.ZipFile(archive, "w") as zf:
        zf.writestr("metrics.json", "{}")
    cloud.add_output("model", b"weights", save_to="model.bin", relpath="model.bin")
    cloud.add_output("results", archive.getvalue(), save_to="results", relpath="results", is_directory=True)
    env = child_env(tmp_path / "home", BRIVEL_CACHE_DIR=str(tmp_path / "cache"),
                    BRIVEL_API_URL=cloud.base, BRIVEL_API_KEY=cloud.api_key)
    script = project / "example.py"
    script.write_text(code)
    proc = subprocess.run([sys.executable, str(script)], cwd=project, env=env, capture_output=True,
                          text=True, timeout=100)
    assert proc.returncode == 0, proc.stderr
    if module == "brivel.workspace":
        assert (project / "outputs" / "model.bin").read_bytes() == b"weights"
        assert (project / "outputs" / "results" / "metrics.json").read_text() == "{}"
        assert "job-123" in cloud.acks
        assert "2 files," in proc.stdout  # train.log is ignored
    if module == "brivel.overflow":
        assert proc.stdout.splitlines()[-1] == str(sum(i * i for i in range(1_000_000)))
