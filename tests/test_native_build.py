"""build_manifest takes one native pass while every step of the build is the module's own.
Whatever it gives must equal the step-by-step build (each step through the namespace):
the records and their order, the total, the log lines, the errors and the cache file."""

import gc
import json
import logging
import os
import signal
import stat
import time
from pathlib import Path

import pytest

import brivel.workspace as ws

NAMES = ["plain.txt", "caf\u00e9.py", "emoji \U0001f600.md", 'quote"back\\slash.txt', "new\nline.txt", "sp ace.txt",
         "del\x7f.txt"]


def step_by_step(monkeypatch):
    """Rebinds _walk_tree to a wrapper of itself: the build then goes step by step."""
    original = ws._walk_tree
    monkeypatch.setattr(ws, "_walk_tree", lambda *a, **k: original(*a, **k))


@pytest.fixture
def project(tmp_path):
    root = tmp_path / "project"
    (root / "pkg" / "deep" / "deeper").mkdir(parents=True)
    for i, name in enumerate(NAMES):
        (root / name).write_bytes(name.encode() * (i + 1))
    (root / os.fsdecode(b"raw\xff\xfe.bin")).write_bytes(b"not utf-8")
    (root / "empty").write_bytes(b"")
    for i in range(40):
        (root / "pkg" / f"m{i}.py").write_bytes(b"x" * (i * 37))
        (root / "pkg" / "deep" / "deeper" / f"d{i}.txt").write_bytes(os.urandom(100 + i))
    (root / "pkg" / "__pycache__").mkdir()
    (root / "pkg" / "__pycache__" / "m.cpython-311.pyc").write_bytes(b"c")
    (root / "pkg" / "stale.pyc").write_bytes(b"p")
    (root / ".gitignore").write_text("*.log\nbuild/\n")
    (root / "app.log").write_text("ignored")
    (root / "build").mkdir()
    (root / "build" / "out.o").write_bytes(b"ignored")
    (root / "link-to-file").symlink_to(root / "plain.txt")
    (root / "link-to-dir").symlink_to(root / "pkg")
    os.mkfifo(root / "pipe")
    extra = tmp_path / "extra"
    (extra / "sub").mkdir(parents=True)
    (extra / "sub" / "e.txt").write_bytes(b"extra")
    (extra / "top.txt").write_bytes(b"top")
    (extra / "link").symlink_to(root / "pkg" / "deep")
    single = tmp_path / "single.cfg"
    single.write_bytes(b"single file")
    return root, extra, single


def workspaces(root, extra, single):
    U = ws.Upload
    return {
        "root only": ws.Workspace(root=root),
        "uploads": ws.Workspace(
            root=root,
            uploads=[
                U(extra, to="/opt/mounted"),            # walked under an absolute mount
                U(extra, to="again", follow_symlinks=True),
                U(single),                              # a file outside the root: its name
                U(single, to="/etc/app.cfg"),
                U(single, to="plain.txt"),              # taken already by the root's file
                U(root / "pkg", to="pkg-copy"),         # the same files twice: one cache entry each
                U(root / "caf\u00e9.py"),
            ],
        ),
        "no root": ws.Workspace(root=None, uploads=[U(extra), U(single, to="x/y.cfg")]),
    }


def outcome(spec, caplog, cache_file):
    caplog.clear()
    with caplog.at_level(logging.WARNING, logger="brivel.workspace"):
        built = ws.build_manifest(spec)
    records = [(f.relpath, f.sha256, f.size, f.mode, type(f.local_path), f.local_path, f.local_path.parts, f.to,
                list(vars(f))) for f in built.files]
    document = cache_file.read_bytes() if cache_file.exists() else None
    return records, built.total_size_bytes, [r.getMessage() for r in caplog.records], document


def both_lanes(spec, caplog, cache_file, monkeypatch, document):
    """The outcome of the native and of the step-by-step build, each starting from the
    same cache file (`document`, or none); they must be equal."""
    results = []
    for lane in ("native", "step by step"):
        if document is None:
            cache_file.unlink(missing_ok=True)
        else:
            cache_file.write_bytes(document)
        with monkeypatch.context() as patch:
            if lane == "step by step":
                step_by_step(patch)
            results.append(outcome(spec, caplog, cache_file))
    assert results[0] == results[1]
    return results[0]


@pytest.mark.parametrize("case", ["root only", "uploads", "no root"])
def test_the_native_build_equals_the_step_by_step_build(project, case, caplog, monkeypatch, cache_dir):
    spec = workspaces(*project)[case]
    cache_file = ws._hash_cache_path(None if spec.root is None else spec.root.resolve())
    cold = both_lanes(spec, caplog, cache_file, monkeypatch, None)
    warm = both_lanes(spec, caplog, cache_file, monkeypatch, cold[3])
    assert cold == warm
    assert cold[0], "the build found no file"
    # A changed file: its entry no longer holds, the others do.
    (project[0] / "pkg" / "m3.py").write_bytes(b"changed")
    (project[1] / "top.txt").write_bytes(b"changed too")
    stale = both_lanes(spec, caplog, cache_file, monkeypatch, warm[3])
    assert stale[0] != warm[0]
    if case != "no root":
        assert any("not a regular file" in line for line in cold[2])


def test_a_document_only_the_interpreter_reads_still_gives_the_same_build(project, caplog, monkeypatch, cache_dir):
    # Floats and literals are outside what is read natively: the native build then hashes
    # every file, which gives the same records and the same rewritten document.
    root = project[0]
    spec = ws.Workspace(root=root)
    cache_file = ws._hash_cache_path(root.resolve())
    ws.build_manifest(spec)
    doc = json.loads(cache_file.read_text())
    for entry in doc["entries"].values():
        entry["size"] = float(entry["size"])
    doc["flag"] = True
    odd = json.dumps(doc)
    both_lanes(spec, caplog, cache_file, monkeypatch, odd.encode())


@pytest.mark.parametrize("cap", [0, 5, 2000, -1])
def test_the_cap_stops_both_builds_at_the_same_file(project, cap, monkeypatch, cache_dir):
    spec = ws.Workspace(root=project[0], max_size_bytes=cap)
    messages = []
    for lane in ("native", "step by step"):
        if lane == "step by step":
            step_by_step(monkeypatch)
        with pytest.raises(ws.WorkspaceTooLargeError) as err:
            ws.build_manifest(spec)
        messages.append(str(err.value))
    assert messages[0] == messages[1]
    assert "triggered at" in messages[0]


@pytest.mark.parametrize("enabled_before", [True, False])
@pytest.mark.parametrize("cap", [None, 0])
def test_the_collector_comes_back_as_it_was(project, enabled_before, cap, cache_dir):
    spec = ws.Workspace(root=project[0], max_size_bytes=cap)
    was = gc.isenabled()
    try:
        (gc.enable if enabled_before else gc.disable)()
        try:
            ws.build_manifest(spec)
        except ws.WorkspaceTooLargeError:
            assert cap == 0
        assert gc.isenabled() == enabled_before
    finally:
        (gc.enable if was else gc.disable)()


def test_paths_are_made_as_pathlib_makes_them(project, cache_dir):
    root = project[0]
    built = ws.build_manifest(ws.Workspace(root=root))
    for f in built.files:
        expected = root.resolve() / f.relpath
        assert type(f.local_path) is type(expected)
        assert f.local_path == expected and str(f.local_path) == str(expected)
        assert f.local_path.parts == expected.parts and f.local_path.name == expected.name
        assert hash(f.local_path) == hash(expected)


def test_replaced_records_and_paths_are_honoured(project, monkeypatch, cache_dir):
    made = []

    class Record(ws.ManifestFile):
        def __init__(self, **kw):
            made.append(kw["relpath"])
            super().__init__(**kw)

    monkeypatch.setattr(ws, "ManifestFile", Record)
    built = ws.build_manifest(ws.Workspace(root=project[0]))
    assert [type(f) for f in built.files] == [Record] * len(built.files)
    assert made == [f.relpath for f in built.files]

    monkeypatch.setattr(ws.ManifestFile, "__init__", lambda self, **kw: made.append(None) or vars(self).update(kw))
    built = ws.build_manifest(ws.Workspace(root=project[0]))
    assert made.count(None) == len(built.files)


def test_a_pipe_in_place_of_the_cache_file_does_not_block(project, cache_dir):
    root = project[0]
    cache_file = ws._hash_cache_path(root.resolve())
    cache_file.parent.mkdir(parents=True, exist_ok=True)
    os.mkfifo(cache_file)
    spec = ws.Workspace(root=root)
    # The rewrite replaces the pipe with the document.
    files = ws.build_manifest(spec).files
    assert files and stat.S_ISREG(os.lstat(cache_file).st_mode)
    assert json.loads(cache_file.read_text())["version"] == 1


@pytest.mark.timeout(60)
def test_ctrl_c_ends_a_native_build(tmp_path, cache_dir):
    # Large sparse files take a second or more to hash; the timer's Ctrl-C arrives while
    # the build waits for the hash workers, and ends it after the files being hashed.
    root = tmp_path / "big"
    root.mkdir()
    for i in range(6):
        with open(root / f"sparse{i}", "wb") as f:
            f.truncate(1 << 30)
    started = time.perf_counter()
    ws._sha256_file(root / "sparse0")
    one_file = time.perf_counter() - started
    ws_workers = ws.UPLOAD_HASH_WORKERS
    ws.UPLOAD_HASH_WORKERS = 1
    previous = signal.signal(signal.SIGALRM, signal.default_int_handler)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.2)
        started = time.perf_counter()
        with pytest.raises(KeyboardInterrupt):
            ws.build_manifest(ws.Workspace(root=root))
        # The file being hashed is finished, the others are not started.
        assert time.perf_counter() - started < 0.2 + 3 * one_file
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
        ws.UPLOAD_HASH_WORKERS = ws_workers
    assert not ws._hash_cache_path(root.resolve()).exists()
    assert gc.isenabled()


def test_many_files_and_long_paths_give_the_same_build(tmp_path, caplog, monkeypatch, cache_dir):
    # More files and path bytes than one storage block holds: the build lets blocks go
    # while it makes the records, and none may go before its records are made.
    root = tmp_path / "many"
    tail = "n" * 120
    for d in range(10):
        sub = root / f"dir{d}-{tail}"
        sub.mkdir(parents=True)
        for i in range(500):
            (sub / f"{i}-{tail}.txt").write_bytes(b"%d/%d" % (d, i))
    spec = ws.Workspace(root=root)
    cache_file = ws._hash_cache_path(root.resolve())
    cold = both_lanes(spec, caplog, cache_file, monkeypatch, None)
    warm = both_lanes(spec, caplog, cache_file, monkeypatch, cold[3])
    assert cold == warm and len(cold[0]) == 5000


def only_the_document(cache_file):
    """The hash-cache folder holds the one document: no piece of a rewrite is left."""
    return sorted(os.listdir(cache_file.parent)) == [cache_file.name]


def test_a_failed_build_leaves_the_previous_document(project, monkeypatch, cache_dir):
    root = project[0]
    spec = ws.Workspace(root=root)
    ws.build_manifest(spec)
    cache_file = ws._hash_cache_path(root.resolve())
    before = cache_file.read_bytes()
    (root / "pkg" / "m3.py").write_bytes(b"changed")  # the next document would differ
    made = []

    class Refused(ws.ManifestFile):
        def __init__(self, **kw):
            made.append(kw["relpath"])
            if len(made) == 20:
                raise RuntimeError("record refused")
            super().__init__(**kw)

    with monkeypatch.context() as patch:
        patch.setattr(ws, "ManifestFile", Refused)
        with pytest.raises(RuntimeError, match="record refused"):
            ws.build_manifest(spec)
    assert cache_file.read_bytes() == before
    assert only_the_document(cache_file)
    ws.build_manifest(spec)
    assert cache_file.read_bytes() != before and only_the_document(cache_file)


# A child's first build takes serial 0 for its document's temporary name; what `kinds`
# names is made first at that name and the next ones.
SQUATTED_BUILD = """
import json, os, socket
import brivel.workspace as ws
doc.parent.mkdir(parents=True, exist_ok=True)
os.chdir(doc.parent)  # a socket's path must be short
names, sockets = [], []
for serial, kind in enumerate(kinds):
    names.append(f"{doc.name}.{os.getpid()}.{serial}.tmp")
    if kind == "fifo":
        os.mkfifo(names[-1])
    else:
        sockets.append(socket.socket(socket.AF_UNIX))
        sockets[-1].bind(names[-1])
print(json.dumps({"names": names, "files": len(ws.build_manifest(ws.Workspace(root=root)).files)}))
"""


def in_child(run_python, cache_dir, body, **values):
    """Runs `body` in a child interpreter (the cache folder shared) after `name = Path(value)`
    for each path value, `name = value` for the others; returns its stdout."""
    lines = ["from pathlib import Path"]
    lines += [f"{k} = Path({str(v)!r})" if isinstance(v, Path) else f"{k} = {v!r}" for k, v in values.items()]
    child = run_python("\n".join(lines) + "\n" + body, env={"BRIVEL_CACHE_DIR": str(cache_dir)})
    assert child.returncode == 0, child.stderr
    return child.stdout


@pytest.mark.timeout(120)
@pytest.mark.parametrize("kinds", [["fifo"], ["socket"], ["fifo", "socket"]])
def test_what_is_at_a_temporary_name_is_left_alone(project, run_python, cache_dir, kinds):
    # The build takes the next free name: the pipe or socket stays, the build does not wait
    # on it (run_python's time-out), and the document is written all the same.
    root = project[0]
    cache_file = ws._hash_cache_path(root.resolve())
    told = json.loads(in_child(run_python, cache_dir, SQUATTED_BUILD, root=root, doc=cache_file, kinds=kinds))
    assert told["files"] > 0
    is_kind = {"fifo": stat.S_ISFIFO, "socket": stat.S_ISSOCK}
    for name, kind in zip(told["names"], kinds):
        assert is_kind[kind](os.lstat(cache_file.parent / name).st_mode), name
    assert sorted(os.listdir(cache_file.parent)) == sorted([cache_file.name, *told["names"]])
    assert len(json.loads(cache_file.read_text())["entries"]) == told["files"]


@pytest.mark.timeout(120)
def test_a_document_that_cannot_be_written_leaves_the_previous_one(project, run_python, cache_dir):
    # The child's files may hold a few bytes only (RLIMIT_FSIZE, its signal ignored): the
    # build still gives its files, the old document stays, and no piece is left beside it.
    root = project[0]
    count = len(ws.build_manifest(ws.Workspace(root=root)).files)
    cache_file = ws._hash_cache_path(root.resolve())
    before = cache_file.read_bytes()
    (root / "pkg" / "m3.py").write_bytes(b"changed")  # the next document would differ
    out = in_child(run_python, cache_dir, """
import resource, signal
import brivel.workspace as ws
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
resource.setrlimit(resource.RLIMIT_FSIZE, (1024, resource.RLIM_INFINITY))
print(len(ws.build_manifest(ws.Workspace(root=root)).files))
""", root=root)
    assert int(out) == count
    assert cache_file.read_bytes() == before
    assert only_the_document(cache_file)


def test_a_document_that_cannot_be_replaced_is_let_be(project, caplog, cache_dir):
    root = project[0]
    cache_file = ws._hash_cache_path(root.resolve())
    cache_file.mkdir(parents=True)  # a folder where the document goes: the rename fails
    with caplog.at_level(logging.WARNING, logger="brivel.workspace"):
        built = ws.build_manifest(ws.Workspace(root=root))
    assert built.files and cache_file.is_dir() and only_the_document(cache_file)


def test_with_the_cache_off_nothing_is_written(project, monkeypatch, cache_dir):
    root = project[0]
    monkeypatch.setattr(ws, "HASH_CACHE_ENABLED", False)
    assert ws.build_manifest(ws.Workspace(root=root)).files
    cache_file = ws._hash_cache_path(root.resolve())
    assert cache_file.parent.is_dir() and os.listdir(cache_file.parent) == []
