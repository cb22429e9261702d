import hashlib
import json
import logging
import os
from pathlib import Path

import pytest

import brivel.workspace as ws
from support.manifest_helpers import make_tree


def sha(data):
    return hashlib.sha256(data if isinstance(data, bytes) else data.encode()).hexdigest()


@pytest.fixture
def counting(monkeypatch):
    calls = []
    original = ws._sha256_file

    def counted(path):
        calls.append(Path(path))
        return original(path)

    monkeypatch.setattr(ws, "_sha256_file", counted)
    return calls


@pytest.fixture
def fixture_tree(tmp_path):
    root = make_tree(tmp_path / "proj", {
        "pyproject.toml": "[project]\n",
        ".gitignore": "*.log\nbuild/\n!important.log\n",
        "main.py": "print('hi')\n",
        "pkg/__init__.py": "",
        "pkg/core/engine.py": "x = 1\n",
        "pkg/__pycache__/engine.cpython-311.pyc": "junk",
        "node_modules/lib/index.js": "js",
        ".git/HEAD": "ref",
        "build/out.bin": "b" * 100,
        "debug.log": "log",
        "important.log": "kept? no",
        "run.sh": "#!/bin/sh\n",
    })
    for p in root.rglob("*"):
        if p.is_file():
            p.chmod(0o644)
    (root / "run.sh").chmod(0o755)
    os.symlink(root / "main.py", root / "alias.py")
    data = make_tree(tmp_path / "datasets", {"train/a.csv": "1,2\n", "test/b.csv": "3\n"})
    single = make_tree(tmp_path / "extra", {"settings.yaml": "k: v\n"})
    return root, data, single / "settings.yaml"


EXPECTED_ROOT = {
    "pyproject.toml": "[project]\n",
    ".gitignore": "*.log\nbuild/\n!important.log\n",
    "main.py": "print('hi')\n",
    "pkg/__init__.py": "",
    "pkg/core/engine.py": "x = 1\n",
    "run.sh": "#!/bin/sh\n",
}


def spec_for(root, data, single, **extra):
    return ws.Workspace(root=root, uploads=[ws.Upload(local=data, to="/data"), ws.Upload(local=single)],
                        outputs=[ws.Output(path="out/result.txt", save_to=Path("res"))], ignore=["*.tmp"], **extra)


def expected_files(root, data, single):
    out = {rel: (sha(text), len(text.encode()), 0o755 if rel == "run.sh" else 0o644, root / rel, None)
           for rel, text in EXPECTED_ROOT.items()}
    for rel, text in {"train/a.csv": "1,2\n", "test/b.csv": "3\n"}.items():
        out["__mounts__/data/" + rel] = (sha(text), len(text), 0o644, data / rel, "/data/" + rel)
    out["settings.yaml"] = (sha("k: v\n"), 5, 0o644, single, None)
    return out


def as_table(built):
    return {f.relpath: (f.sha256, f.size, f.mode, f.local_path, f.to) for f in built.files}


@pytest.mark.timeout(60)
def test_fixture_tree_end_to_end(fixture_tree, cache_dir, counting):
    root, data, single = fixture_tree
    for p in (data / "train/a.csv", data / "test/b.csv", single):
        p.chmod(0o644)
    built = ws.build_manifest(spec_for(root, data, single))
    assert as_table(built) == expected_files(root, data, single)
    rels = [f.relpath for f in built.files]
    assert rels.index("main.py") < rels.index("__mounts__/data/train/a.csv") < rels.index("settings.yaml")
    walked = sum(len(t.encode()) for t in EXPECTED_ROOT.values()) + len("1,2\n") + len("3\n")
    assert built.total_size_bytes == walked
    doc = built.to_manifest_dict()
    assert list(doc) == ["workspace_root", "files", "outputs", "auto_outputs", "ignore", "total_size_bytes"]
    assert doc["workspace_root"] == "/workspace"
    assert doc["files"] == [{"relpath": f.relpath, "sha256": f.sha256, "size": f.size, "mode": f.mode, "to": f.to}
                            for f in built.files]
    assert doc["outputs"] == [{"path": "out/result.txt", "pattern": None, "save_to": "res", "required": False}]
    assert doc["auto_outputs"] is False and doc["ignore"] == ["*.tmp"] and doc["total_size_bytes"] == walked
    assert built.outputs == [ws.Output(path="out/result.txt", save_to=Path("res"))]
    json.dumps(doc)
    assert len(counting) == len(built.files)

    counting.clear()
    again = ws.build_manifest(spec_for(root, data, single))
    assert counting == [] and again == built

    (root / "pkg/core/engine.py").write_text("x = 2\n")
    third = ws.build_manifest(spec_for(root, data, single))
    assert counting == [root / "pkg/core/engine.py"]
    assert as_table(third)["pkg/core/engine.py"][0] == sha("x = 2\n")


def test_warm_build_on_the_native_path_matches(fixture_tree, cache_dir):
    root, data, single = fixture_tree
    cold = ws.build_manifest(spec_for(root, data, single))
    assert ws.build_manifest(spec_for(root, data, single)) == cold


@pytest.mark.timeout(30)
def test_fifo_and_link_loop_do_not_hang(tmp_path, cache_dir, caplog):
    root = make_tree(tmp_path / "root", {"a.txt": "a", "d/b.txt": "b"})
    os.mkfifo(root / "pipe")
    os.symlink(root, root / "d" / "loop")
    with caplog.at_level(logging.WARNING, logger="brivel.workspace"):
        built = ws.build_manifest(ws.Workspace(root=root, uploads=[ws.Upload(local=root / "d", to="/m",
                                                                             follow_symlinks=True)]))
    rels = sorted(f.relpath for f in built.files)
    assert "pipe" not in rels and "a.txt" in rels and "d/b.txt" in rels
    assert "__mounts__/m/b.txt" in rels and "__mounts__/m/loop/a.txt" in rels
    assert not any("/loop/d/" in r for r in rels)
    assert f"Skipping unreadable {root / 'pipe'}: not a regular file" in caplog.text


def test_no_root_no_uploads(cache_dir):
    built = ws.build_manifest(ws.Workspace(root=None))
    assert built == ws.BuiltManifest(workspace_root="/workspace", files=[], outputs=[], auto_outputs=True,
                                     ignore=[], total_size_bytes=0)
    assert json.loads(ws._hash_cache_path(None).read_text()) == {"version": 1, "entries": {}}


def test_auto_root_and_path_named_auto(tmp_path, cache_dir, monkeypatch):
    make_tree(tmp_path, {"proj/.git/HEAD": "x", "proj/src/m.py": "m", "auto/z.txt": "z"})
    monkeypatch.chdir(tmp_path / "proj" / "src")
    assert [f.relpath for f in ws.build_manifest(ws.Workspace()).files] == ["src/m.py"]
    monkeypatch.chdir(tmp_path)
    assert [f.relpath for f in ws.build_manifest(ws.Workspace(root=Path("auto"))).files] == ["z.txt"]


@pytest.mark.parametrize("make", [lambda t: None, lambda t: (t / "file").write_text("")])
def test_bad_root(tmp_path, cache_dir, monkeypatch, make):
    make(tmp_path)
    monkeypatch.chdir(tmp_path)
    with pytest.raises(ValueError) as info:
        ws.build_manifest(ws.Workspace(root="file"))
    assert str(info.value) == f"Workspace root does not exist or is not a directory: {tmp_path.resolve() / 'file'}"


def test_missing_upload(tmp_path, cache_dir, monkeypatch):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(FileNotFoundError) as info:
        ws.build_manifest(ws.Workspace(root=None, uploads=[ws.Upload(local="nope")]))
    assert str(info.value) == f"Upload target does not exist: {tmp_path.resolve() / 'nope'}"


def test_placements_and_first_relpath_wins(tmp_path, cache_dir, monkeypatch):
    root = make_tree(tmp_path / "root", {"sub/a.txt": "a", "x.pyc": "pyc", "data/in.csv": "c"})
    other = make_tree(tmp_path / "other", {"note.md": "n", "dir/k.txt": "k"})
    link = tmp_path / "linked"
    os.symlink(other / "dir", link)
    monkeypatch.chdir(tmp_path)
    spec = ws.Workspace(root=root, uploads=[
        ws.Upload(local="root/x.pyc"),                         # ignored by the walk, added as a single file
        ws.Upload(local=root / "data/in.csv", to="sub/a.txt"),  # relpath taken: dropped
        ws.Upload(local=other / "note.md", to="/etc/app.conf"),
        ws.Upload(local=other / "note.md", to="docs\\n.md"),
        ws.Upload(local=other / "note.md"),
        ws.Upload(local=root / "sub"),                          # walked again, counted again
        ws.Upload(local=root / "sub", to="copy\\"),
        ws.Upload(local=root / "sub", to="/"),
        ws.Upload(local=root),
        ws.Upload(local=link),
    ])
    built = ws.build_manifest(spec)
    table = {f.relpath: (f.local_path, f.to) for f in built.files}
    assert table == {
        "sub/a.txt": (root / "sub/a.txt", None),
        "data/in.csv": (root / "data/in.csv", None),
        "x.pyc": (root / "x.pyc", None),
        "__mounts__/etc/app.conf": (other / "note.md", "/etc/app.conf"),
        "docs/n.md": (other / "note.md", None),
        "note.md": (other / "note.md", None),
        "copy/a.txt": (root / "sub/a.txt", None),
        "__mounts__/a.txt": (root / "sub/a.txt", "/a.txt"),
        "./sub/a.txt": (root / "sub/a.txt", None),
        "./data/in.csv": (root / "data/in.csv", None),
        "dir/k.txt": (other / "dir/k.txt", None),
    }
    # root walk 2, sub 1, copy 1, mount 1, root again 2, linked dir 1
    assert built.total_size_bytes == 2 + 1 + 1 + 1 + 2 + 1


def test_mount_with_trailing_slash(tmp_path, cache_dir):
    d = make_tree(tmp_path / "d", {"sub/a.txt": "a"})
    built = ws.build_manifest(ws.Workspace(root=None, uploads=[ws.Upload(local=d, to="/data/")]))
    assert [(f.relpath, f.to) for f in built.files] == [("__mounts__/data/sub/a.txt", "/data/sub/a.txt")]


@pytest.mark.parametrize("delta, warned", [(0, True), (-1, False)])
def test_large_workspace_warning(tmp_path, cache_dir, monkeypatch, caplog, delta, warned):
    make_tree(tmp_path, {"a": "x" * 1000, "b": "y" * 48576})
    monkeypatch.setattr(ws, "WARN_BYTES", 49576 - delta)
    with caplog.at_level(logging.WARNING, logger="brivel.workspace"):
        ws.build_manifest(ws.Workspace(root=tmp_path))
    messages = [r.getMessage() for r in caplog.records]
    assert {r.levelno for r in caplog.records} <= {logging.WARNING}
    expected = ("Workspace is large (0.0 MB). Consider adding entries to .gitignore or using Upload(...) for "
                "the directories you really need.")
    assert messages == ([expected] if warned else [])


def test_default_warning_threshold_text(tmp_path, cache_dir, caplog):
    big = tmp_path / "big"
    with open(big, "wb") as f:
        f.truncate(104857600)
    with caplog.at_level(logging.WARNING, logger="brivel.workspace"):
        ws.build_manifest(ws.Workspace(root=tmp_path))
    assert "Workspace is large (100.0 MB)." in caplog.text


def test_cap_across_walks(tmp_path, cache_dir):
    root = make_tree(tmp_path / "r", {"a": "x" * 6})
    d = make_tree(tmp_path / "d", {"b": "y" * 5})
    spec = ws.Workspace(root=root, uploads=[ws.Upload(local=d)], max_size_bytes=10)
    with pytest.raises(ws.WorkspaceTooLargeError, match=r"triggered at 'd/b'"):
        ws.build_manifest(spec)


def test_windows_target_and_outputs(tmp_path, cache_dir, capsys):
    (tmp_path / "f.txt").write_text("f")
    spec = ws.Workspace(root=None, uploads=[ws.Upload(local=tmp_path / "f.txt", to="C:\\data")])
    built = ws.build_manifest(spec)
    assert [f.relpath for f in built.files] == ["C:/data"]
    assert "   - C:\\data   (from Upload(to='C:\\\\data'))" in capsys.readouterr().err
    assert built.outputs == [] and built.auto_outputs is True


def test_ignore_sources(tmp_path, cache_dir):
    root = make_tree(tmp_path, {".gitignore": "g.*\n", "g.txt": "", "s.txt": "", "e.txt": "", "k.txt": ""})
    spec = ws.Workspace(root=root, ignore=["s.*"])
    built = ws.build_manifest(spec, extra_ignore=("e.*",))
    assert sorted(f.relpath for f in built.files) == [".gitignore", "k.txt"]
    assert built.ignore == ["s.*"] and built.ignore is not spec.ignore


@pytest.mark.parametrize("make_call, name", [
    (lambda root, p: ws.build_manifest(ws.Workspace(root=root, ignore=p)), "Workspace.ignore"),
    (lambda root, p: ws.build_manifest(ws.Workspace(root=root), extra_ignore=p), "extra_ignore"),
    (lambda root, p: ws.matches_ignore("b.py", p), "patterns"),
])
@pytest.mark.parametrize("patterns", ["*.txt", b"*.txt"])
def test_single_string_is_not_a_pattern_list(tmp_path, cache_dir, monkeypatch, make_call, name, patterns):
    # Read character by character, "*" would ignore every file and the job would upload nothing.
    make_tree(tmp_path, {"a.py": "a"})
    hashed = []
    monkeypatch.setattr(ws, "_sha256_file", lambda p: hashed.append(p))
    with pytest.raises(TypeError, match=rf"^{name} must be a list of patterns, not a single {type(patterns).__name__}$"):
        make_call(tmp_path, patterns)
    assert hashed == [] and not os.listdir(cache_dir)


@pytest.mark.parametrize("lane", ["native", "step by step"])
@pytest.mark.parametrize("outputs, message", [
    ("bogus", r'^Workspace\.outputs must be "auto" or a list of Output, not a single str$'),
    (b"auto", r'^Workspace\.outputs must be "auto" or a list of Output, not a single bytes$'),
    (None, r'^Workspace\.outputs must be "auto" or a list of Output, not NoneType$'),
    (["model.pt"], r"^Workspace\.outputs\[0\] must be an Output, not str$"),
    ((ws.Output(path="a"), {"path": "b"}), r"^Workspace\.outputs\[1\] must be an Output, not dict$"),
])
def test_outputs_that_would_be_lost_are_refused(tmp_path, cache_dir, monkeypatch, lane, outputs, message):
    # "bogus" would become the outputs b, o, g, u, s; a path string would be left out of the
    # manifest: the job's results would silently never come back.
    make_tree(tmp_path, {"a.py": "a"})
    hashed = []
    if lane == "step by step":
        monkeypatch.setattr(ws, "_sha256_file", lambda p: hashed.append(p))
    with pytest.raises(TypeError, match=message):
        ws.build_manifest(ws.Workspace(root=tmp_path, outputs=outputs))
    assert hashed == [] and not os.listdir(cache_dir)


class OwnOutput(ws.Output):
    pass


@pytest.mark.parametrize("outputs, auto, kept", [
    ("auto", True, []),
    ([], False, []),
    ([ws.Output(path="a"), OwnOutput(pattern="*.csv")], False, [ws.Output(path="a"), OwnOutput(pattern="*.csv")]),
    ((ws.Output(path="a"),), False, [ws.Output(path="a")]),
    (iter([ws.Output(path="a")]), False, [ws.Output(path="a")]),
])
def test_accepted_outputs(tmp_path, cache_dir, outputs, auto, kept):
    spec = ws.Workspace(root=tmp_path, outputs=outputs)
    built = ws.build_manifest(spec)
    assert (built.outputs, built.auto_outputs) == (kept, auto)
    assert built.outputs is not spec.outputs
    assert [o["path"] or o["pattern"] for o in built.to_manifest_dict()["outputs"]] == \
        [o.path or o.pattern for o in kept]


def test_pattern_iterables_other_than_lists_still_work(tmp_path, cache_dir):
    root = make_tree(tmp_path, {"a.py": "", "b.txt": "", "c.log": ""})
    built = ws.build_manifest(ws.Workspace(root=root, ignore=("*.txt",)), extra_ignore=iter(["*.log"]))
    assert [f.relpath for f in built.files] == ["a.py"]
    assert ws.matches_ignore("b.txt", {"*.txt"})


@pytest.mark.parametrize("call, message", [
    (lambda: ws.build_manifest(), r"build_manifest\(\) missing 1 required positional argument: 'spec'"),
    (lambda: ws.build_manifest(ws.Workspace(root=None), None),
     r"build_manifest\(\) takes 1 positional argument but 2 were given"),
    (lambda: ws.build_manifest(ws.Workspace(root=None), extra=1),
     r"build_manifest\(\) got an unexpected keyword argument 'extra'"),
])
def test_build_manifest_signature(cache_dir, call, message):
    with pytest.raises(TypeError, match=message):
        call()


def test_replaced_walk_is_used(tmp_path, cache_dir, monkeypatch):
    (tmp_path / "f").write_text("f")
    monkeypatch.setattr(ws, "_walk_tree", lambda root, **kw: iter([(tmp_path / "f", "virtual/f")]))
    assert [f.relpath for f in ws.build_manifest(ws.Workspace(root=tmp_path)).files] == ["virtual/f"]
    monkeypatch.setattr(ws, "_walk_tree", lambda root, **kw: iter([(tmp_path / "f", 5)]))
    with pytest.raises(TypeError, match="Argument 'relpath'"):
        ws.build_manifest(ws.Workspace(root=tmp_path))


def test_namespace_order():
    names = list(vars(ws))
    order = ["_ROOT_MARKERS", "detect_project_root", "_normalize_pattern", "matches_ignore", "load_gitignore",
             "ManifestFile", "BuiltManifest", "_sha256_file", "_walk_tree", "WorkspaceTooLargeError",
             "_is_windows_absolute", "_scan_string_for_win_paths", "detect_windows_absolute_paths",
             "warn_windows_absolute_paths", "_resolve_manifest_files", "build_manifest", "__all__"]
    assert [n for n in names if n in order] == order
    assert "generator" not in names
