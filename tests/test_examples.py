"""The scripts in examples/ run as a user runs them: a new interpreter, the command line the
README gives, and a summary that tells the truth about what happened."""

import re
import subprocess
import sys
from pathlib import Path

import pytest

from support.fixtures import child_env
from support.manifest_helpers import make_tree

TOP = Path(__file__).resolve().parent.parent
EXAMPLES = TOP / "examples"
PROJECT = {"main.py": "print('hi')\n", "pkg/__init__.py": "", "pkg/model.py": "w = 1\n", "data/x.csv": "1,2\n"}


def run_example(name, *args, cwd, env):
    proc = subprocess.run([sys.executable, str(EXAMPLES / name), *args], cwd=cwd, env=env,
                          capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout


def summary(out, job):
    [line] = [l for l in out.splitlines() if l.startswith(f"{job}: ") and "files hashed" in l]
    return line


def kept_outputs(out):
    [where] = re.findall(r"^outputs kept in (.+)$", out, flags=re.M)
    return Path(where)


@pytest.fixture
def project(tmp_path):
    return make_tree(tmp_path / "project", PROJECT)


@pytest.fixture
def env(tmp_path):
    (tmp_path / "tmp").mkdir()
    preset = tmp_path / "preset-cache"
    return child_env(tmp_path / "home", TMPDIR=str(tmp_path / "tmp"), BRIVEL_CACHE_DIR=str(preset))


def warm(cache, project):
    """A build of the project with `cache`, in a child, so that the cache knows every file."""
    code = ("import brivel.workspace as ws, pathlib, sys; "
            "print(len(ws.build_manifest(ws.Workspace(root=pathlib.Path(sys.argv[1]))).files))")
    proc = subprocess.run([sys.executable, "-c", code, str(project)], env={**child_env(cache.parent / "home"),
                          "BRIVEL_CACHE_DIR": str(cache)}, capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0 and proc.stdout.strip() == str(len(PROJECT)), proc.stderr
    return {p: p.read_bytes() for p in (cache / "hashcache").iterdir()}


@pytest.mark.timeout(180)
def test_sync_starts_cold_and_keeps_its_outputs(tmp_path, project, env):
    preset = Path(env["BRIVEL_CACHE_DIR"])
    documents = warm(preset, project)
    out = run_example("sync.py", cwd=project, env=env)
    n = len(PROJECT)
    # The cache the environment names knows every file, yet the first run hashes them all.
    assert f"{n} files, " in summary(out, "job-1")
    assert f"{n} blobs: {n} sent, 0 skipped; {n} files hashed, 0 from the hash cache;" in summary(out, "job-1")
    assert f"{n} blobs: 0 sent, {n} skipped; 0 files hashed, {n} from the hash cache;" in summary(out, "job-2")
    assert {p: p.read_bytes() for p in (preset / "hashcache").iterdir()} == documents
    # Its own cache is gone; the outputs are where the summary says.
    outputs = kept_outputs(out)
    assert outputs.parent == tmp_path / "tmp" and [p.name for p in (tmp_path / "tmp").iterdir()] == [outputs.name]
    for job in ("job-1", "job-2"):
        assert f"{job}: 2 outputs in {outputs / job}: model.pt (4194304 bytes), results/ (3 files" in out
        assert (outputs / job / "model.pt").stat().st_size == 4194304
        assert sorted(p.relative_to(outputs / job / "results").as_posix()
                      for p in (outputs / job / "results").rglob("*") if p.is_file()) == \
            ["logs/train.log", "metrics.json", "plots/loss.csv"]
    assert "verified and acknowledged" in out


@pytest.mark.timeout(180)
def test_sync_with_a_cache_and_an_output_directory_of_ones_own(tmp_path, project, env):
    cache, outputs = tmp_path / "my-cache", tmp_path / "my-outputs"
    args = ("--runs", "1", "--cache-dir", str(cache), "--outputs", str(outputs))
    first = run_example("sync.py", str(project), *args, cwd=tmp_path, env=env)
    again = run_example("sync.py", str(project), *args, cwd=tmp_path, env=env)
    n = len(PROJECT)
    assert f"{n} files hashed, 0 from the hash cache" in summary(first, "job-1")
    assert f"0 files hashed, {n} from the hash cache" in summary(again, "job-1")  # the cache was kept
    assert kept_outputs(again) == outputs and (outputs / "job-1" / "model.pt").is_file()
    assert not Path(env["BRIVEL_CACHE_DIR"]).exists() and list((tmp_path / "tmp").iterdir()) == []


def test_readme_names_these_examples_and_they_rebind_nothing():
    named = re.findall(r"python3 (examples/\w+\.py)", (TOP / "README.md").read_text(encoding="utf-8"))
    assert "examples/sync.py" in named and all((TOP / n).is_file() for n in named)
    # A step rebound on the module would send build_manifest down its slow lane.
    assert not re.search(r"\bws\.\w+\s*=[^=]|setattr\(ws\b", (EXAMPLES / "sync.py").read_text(encoding="utf-8"))


@pytest.mark.timeout(180)
def test_overflow_routes_the_heavy_function_while_overloaded(tmp_path, env):
    out = run_example("overflow.py", cwd=tmp_path, env=env)
    value = str(sum(i * i for i in range(300_000)))
    assert "crunch is wrapped: True" in out
    assert f"[normal] crunch ran locally: {value}" in out
    assert re.search(rf"^\[overloaded\] crunch ran in the stand-in cloud \(worker pid \d+\): {value}$", out, re.M)
    assert f"[normal again] crunch ran locally: {value}" in out
    assert out.splitlines()[-1] == "pre-warm requests with this script's source: 1"
