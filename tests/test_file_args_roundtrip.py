"""File and directory arguments travel pickled into a fresh interpreter and are written out
there on first use."""

import hashlib
import json
import os
import pickle

import cloudpickle
import pytest

import brivel.spillbox as sb

CHILD = """
import hashlib, json, os, pickle, sys
with open({blob!r}, "rb") as f:
    args, kwargs, found = pickle.load(f)
def tree(root):
    out = {{}}
    for dirpath, dirs, files in os.walk(root):
        for name in files:
            full = os.path.join(dirpath, name)
            out[os.path.relpath(full, root)] = hashlib.sha256(open(full, "rb").read()).hexdigest()
    return out
ref_file, ref_dir = args
print(json.dumps({{
    "paths_before": [ref_file._path, ref_dir._path],
    "file": os.fspath(ref_file), "dir": os.fspath(ref_dir), "kw": str(kwargs["config"]),
    "file_sha": hashlib.sha256(open(ref_file, "rb").read()).hexdigest(),
    "kw_sha": hashlib.sha256(open(kwargs["config"], "rb").read()).hexdigest(),
    "tree": tree(ref_dir), "again": [os.fspath(ref_file), str(ref_dir)],
    "tmp": sorted(os.listdir({tmp!r})), "found": found,
}}))
"""


def sha(data: bytes) -> str:
    return hashlib.sha256(data).hexdigest()


@pytest.mark.parametrize("dumps", [pickle.dumps, cloudpickle.dumps], ids=["pickle", "cloudpickle"])
def test_round_trip_into_a_fresh_interpreter(tree, tmp_path, run_python, dumps):
    tree.file("project/top.txt", "top")
    tree.file("project/a/b/c/deep.bin", os.urandom(5000))
    tree.file("project/a/side.txt", "side")
    tree.dir("project/a/empty")
    tree.file("elsewhere/target.txt", "linked content")
    os.symlink(tree.path("elsewhere/target.txt"), tree.path("project/a/link.txt"))
    single = tree.file("single.dat", os.urandom(1000))

    payload = sb.resolve_file_args((str(single), tree.path("project")), {"config": str(tree.path("project/top.txt"))})
    blob = tmp_path / "call.pickle"
    blob.write_bytes(dumps(payload))
    remote_tmp = tmp_path / "remote-tmp"
    remote_tmp.mkdir()

    child = run_python(CHILD.format(blob=str(blob), tmp=str(remote_tmp)), env={"TMPDIR": str(remote_tmp)})
    assert child.returncode == 0, child.stderr
    out = json.loads(child.stdout)

    assert out["found"] == 3 and out["paths_before"] == [None, None]
    assert out["file_sha"] == sha(single.read_bytes())
    assert out["kw_sha"] == sha(b"top")
    assert os.path.basename(out["file"]) == "single.dat" and os.path.basename(out["dir"]) == "project"
    assert out["again"] == [out["file"], out["dir"]]
    expected = {
        "top.txt": sha(b"top"),
        "a/b/c/deep.bin": sha(tree.path("project/a/b/c/deep.bin").read_bytes()),
        "a/side.txt": sha(b"side"),
        "a/link.txt": sha(b"linked content"),
    }
    assert out["tree"] == expected  # the empty subdirectory is not carried by the archive
    # Each reference wrote into its own new temporary directory, and nowhere else.
    assert len(out["tmp"]) == 3
    assert sorted(name.split("_")[1] for name in out["tmp"]) == ["dirs", "files", "files"]
