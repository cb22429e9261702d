import concurrent.futures
import hashlib
import json
import logging
import os
from pathlib import Path

import pytest

import brivel.workspace as ws


def sha(data):
    return hashlib.sha256(data).hexdigest()


def files(tmp_path, spec):
    out = []
    for name, data in spec.items():
        p = tmp_path / name
        p.parent.mkdir(parents=True, exist_ok=True)
        p.write_bytes(data)
        out.append(p)
    return out


def pending_of(paths):
    return [(p, p.name, None) for p in paths]


def cache_file(root):
    return ws._hash_cache_path(root)


@pytest.fixture
def counting(monkeypatch):
    """Counts content reads through the module attribute."""
    calls = []
    original = ws._sha256_file

    def counted(path):
        calls.append(path)
        return original(path)

    monkeypatch.setattr(ws, "_sha256_file", counted)
    return calls


@pytest.fixture
def pools(monkeypatch):
    made = []

    class Spy(concurrent.futures.ThreadPoolExecutor):
        def __init__(self, *args, **kwargs):
            made.append((args, kwargs))
            super().__init__(*args, **kwargs)

    monkeypatch.setattr(concurrent.futures, "ThreadPoolExecutor", Spy)
    return made


def test_empty(tmp_path, cache_dir, monkeypatch):
    assert ws._resolve_manifest_files([], tmp_path) == []
    assert cache_file(tmp_path).read_text() == '{"version": 1, "entries": {}}'
    monkeypatch.setattr(ws, "HASH_CACHE_ENABLED", False)
    other = tmp_path / "other"
    assert ws._resolve_manifest_files([], other) == []
    assert (cache_dir / "hashcache").is_dir() and not cache_file(other).exists()


def test_records_and_cache_document(tmp_path, cache_dir):
    a, b = files(tmp_path, {"a.txt": b"alpha", "sub/b.sh": b"#!/bin/sh\n"})
    a.chmod(0o644)
    b.chmod(0o4755)
    result = ws._resolve_manifest_files([(a, "a.txt", None), (b, "__mounts__/opt/b.sh", "/opt/b.sh")], tmp_path)
    assert result == [
        ws.ManifestFile(relpath="a.txt", sha256=sha(b"alpha"), size=5, mode=0o644,
                        local_path=a, to=None),
        ws.ManifestFile(relpath="__mounts__/opt/b.sh", sha256=sha(b"#!/bin/sh\n"), size=10, mode=0o755,
                        local_path=b, to="/opt/b.sh"),
    ]

    def entry(p, digest):
        st = p.stat()
        return {"size": st.st_size, "mtime_ns": st.st_mtime_ns, "ctime_ns": st.st_ctime_ns, "inode": st.st_ino,
                "sha256": digest}

    expected = {"version": 1, "entries": {str(a): entry(a, sha(b"alpha")), str(b): entry(b, sha(b"#!/bin/sh\n"))}}
    assert cache_file(tmp_path).read_text() == json.dumps(expected)


def test_second_run_reads_nothing_and_rewrites_the_same(tmp_path, cache_dir, counting, pools):
    paths = files(tmp_path, {f"f{i}": bytes([i]) * i for i in range(6)})
    first = ws._resolve_manifest_files(pending_of(paths), tmp_path)
    assert len(counting) == 6 and len(pools) == 1
    text = cache_file(tmp_path).read_text()
    counting.clear()
    second = ws._resolve_manifest_files(pending_of(paths), tmp_path)
    assert counting == [] and len(pools) == 1
    assert second == first and cache_file(tmp_path).read_text() == text


def test_touched_file_is_rehashed(tmp_path, cache_dir, counting):
    paths = files(tmp_path, {"a": b"1", "b": b"2", "c": b"3"})
    ws._resolve_manifest_files(pending_of(paths), tmp_path)
    counting.clear()
    paths[1].write_bytes(b"changed")
    result = ws._resolve_manifest_files(pending_of(paths), tmp_path)
    assert counting == [paths[1]]
    assert result[1].sha256 == sha(b"changed") and result[1].size == 7
    entries = json.loads(cache_file(tmp_path).read_text())["entries"]
    assert list(entries) == [str(paths[0]), str(paths[2]), str(paths[1])]
    assert entries[str(paths[1])]["sha256"] == sha(b"changed")


@pytest.mark.parametrize("workers, count, pool_size", [(8, 1, None), (8, 3, 3), (0, 3, None), (-2, 2, None),
                                                       (2, 5, 2)])
def test_pool_sizes(tmp_path, cache_dir, monkeypatch, counting, pools, workers, count, pool_size):
    monkeypatch.setattr(ws, "UPLOAD_HASH_WORKERS", workers)
    paths = files(tmp_path, {f"f{i}": b"x" * i for i in range(count)})
    result = ws._resolve_manifest_files(pending_of(paths), tmp_path)
    assert [r.size for r in result] == list(range(count))
    assert pools == ([] if pool_size is None else [((), {"max_workers": pool_size})])


def test_native_and_namespace_paths_agree(tmp_path, cache_dir, monkeypatch):
    monkeypatch.setattr(ws, "HASH_CACHE_ENABLED", False)
    paths = files(tmp_path, {f"d{i % 3}/f{i}": os.urandom(i * 997) for i in range(40)})
    pending = [(p, f"r/{i}", None if i % 2 else f"/t/{i}") for i, p in enumerate(paths)]
    native = ws._resolve_manifest_files(pending, tmp_path)
    original = ws._sha256_file
    monkeypatch.setattr(ws, "_sha256_file", lambda p: original(p))
    assert ws._resolve_manifest_files(pending, tmp_path) == native
    assert [f.sha256 for f in native] == [sha(p.read_bytes()) for p in paths]


def test_unreadable_and_vanished_files(tmp_path, cache_dir, caplog):
    a, gone, c = files(tmp_path, {"a": b"a", "gone": b"g", "c": b"c"})
    gone.unlink()
    os.mkfifo(tmp_path / "fifo")
    mem = Path("/proc/self/mem")  # a regular file whose read fails
    pending = [(a, "a", None), (gone, "gone", None), (tmp_path / "fifo", "fifo", None), (tmp_path, "dir", None),
               (mem, "mem", None), (c, "c", None)]
    with caplog.at_level(logging.WARNING, logger="brivel.workspace"):
        result = ws._resolve_manifest_files(pending, tmp_path)
    assert [r.relpath for r in result] == ["a", "c"]
    assert {r.levelno for r in caplog.records} == {logging.WARNING}
    messages = [r.getMessage() for r in caplog.records]
    assert messages[0] == f"Skipping unreadable {gone}: [Errno 2] No such file or directory: '{gone}'"
    assert messages[1] == f"Skipping unreadable {tmp_path / 'fifo'}: not a regular file"
    assert messages[2] == f"Skipping unreadable {tmp_path}: not a regular file"
    assert messages[3] == f"Skipping unreadable {mem}: [Errno 5] Input/output error"  # a read names no file
    assert set(json.loads(cache_file(tmp_path).read_text())["entries"]) == {str(a), str(c)}


def test_read_failure_through_namespace(tmp_path, cache_dir, monkeypatch, caplog):
    paths = files(tmp_path, {"a": b"a", "b": b"b", "c": b"c"})

    def failing(path):
        if path.name == "b":
            raise PermissionError(13, "Permission denied", str(path))
        return (sha(path.read_bytes()), 1)

    monkeypatch.setattr(ws, "_sha256_file", failing)
    with caplog.at_level(logging.WARNING, logger="brivel.workspace"):
        result = ws._resolve_manifest_files(pending_of(paths), tmp_path)
    assert [r.relpath for r in result] == ["a", "c"]
    assert [r.getMessage() for r in caplog.records] == [
        f"Skipping unreadable {paths[1]}: [Errno 13] Permission denied: '{paths[1]}'"]
    assert str(paths[1]) not in json.loads(cache_file(tmp_path).read_text())["entries"]


@pytest.mark.parametrize("workers", [1, 4])
def test_worker_error_propagates_and_keeps_the_cache(tmp_path, cache_dir, monkeypatch, workers):
    monkeypatch.setattr(ws, "UPLOAD_HASH_WORKERS", workers)
    paths = files(tmp_path, {"a": b"a", "b": b"b", "c": b"c"})
    ws._resolve_manifest_files(pending_of(paths[:1]), tmp_path)
    before = cache_file(tmp_path).read_text()

    def failing(path):
        if path.name != "a":
            raise RuntimeError(f"boom {path.name}")
        return ("0" * 64, 1)

    monkeypatch.setattr(ws, "_sha256_file", failing)
    paths[0].write_bytes(b"aa")
    with pytest.raises(RuntimeError, match="boom b"):
        ws._resolve_manifest_files(pending_of(paths), tmp_path)
    assert cache_file(tmp_path).read_text() == before


@pytest.mark.parametrize("interrupt", [KeyboardInterrupt, SystemExit])
def test_interrupt_cancels_queued_hashing(tmp_path, cache_dir, monkeypatch, interrupt):
    # A replaced _sha256_file runs on the pool: an interrupt from one call cancels the calls
    # not yet started, and leaves the cache as it was.
    monkeypatch.setattr(ws, "UPLOAD_HASH_WORKERS", 2)
    paths = files(tmp_path, {f"f{i:02}": b"%d" % i for i in range(40)})
    calls = []

    def interrupted(path):
        calls.append(path)
        raise interrupt()

    monkeypatch.setattr(ws, "_sha256_file", interrupted)
    with pytest.raises(interrupt):
        ws._resolve_manifest_files(pending_of(paths), tmp_path)
    assert len(calls) < 10
    assert not cache_file(tmp_path).exists()


def test_signature_none_is_never_cached(tmp_path, cache_dir, counting):
    (p,) = files(tmp_path, {"old": b"o"})
    os.utime(p, ns=(0, 0))
    for _ in range(2):
        assert ws._resolve_manifest_files(pending_of([p]), tmp_path)[0].sha256 == sha(b"o")
    assert len(counting) == 2
    assert json.loads(cache_file(tmp_path).read_text())["entries"] == {}


def test_symlink_and_duplicates(tmp_path, cache_dir):
    (target,) = files(tmp_path, {"target": b"t"})
    link = tmp_path / "link"
    link.symlink_to(target)
    result = ws._resolve_manifest_files([(link, "l", None), (target, "x", None), (target, "y", None)], tmp_path)
    assert [r.sha256 for r in result] == [sha(b"t")] * 3
    assert list(json.loads(cache_file(tmp_path).read_text())["entries"]) == [str(link), str(target)]


def test_cached_size_comes_from_stat(tmp_path, cache_dir, monkeypatch):
    (p,) = files(tmp_path, {"f": b"12345"})
    monkeypatch.setattr(ws, "_sha256_file", lambda path: ("a" * 64, 99))
    assert ws._resolve_manifest_files(pending_of([p]), tmp_path)[0].size == 99
    assert ws._resolve_manifest_files(pending_of([p]), tmp_path)[0].size == 5


def test_cache_off(tmp_path, cache_dir, monkeypatch, counting):
    paths = files(tmp_path, {"a": b"a"})
    ws._resolve_manifest_files(pending_of(paths), tmp_path)
    text = cache_file(tmp_path).read_text()
    monkeypatch.setattr(ws, "HASH_CACHE_ENABLED", False)
    counting.clear()
    paths[0].write_bytes(b"b")
    ws._resolve_manifest_files(pending_of(paths), tmp_path)
    assert len(counting) == 1 and cache_file(tmp_path).read_text() == text


@pytest.mark.parametrize("damage", ["not json", '{"entries": []}', '{"entries": {"%s": "x"}}',
                                    '{"entries": {"%s": [1]}}', '{"version": 2, "entries": {"%s": {}}}'])
def test_damaged_cache(tmp_path, cache_dir, counting, damage):
    (p,) = files(tmp_path, {"f": b"f"})
    cache_file(tmp_path).write_text(damage.replace("%s", str(p)))
    assert ws._resolve_manifest_files(pending_of([p]), tmp_path)[0].sha256 == sha(b"f")
    assert len(counting) == 1
    assert json.loads(cache_file(tmp_path).read_text())["entries"][str(p)]["sha256"] == sha(b"f")


def test_replaced_cache_helpers_are_used(tmp_path, cache_dir, monkeypatch):
    (p,) = files(tmp_path, {"f": b"f"})
    monkeypatch.setattr(ws, "_hash_cache_hit", lambda cached, sig: "c" * 64)
    assert ws._resolve_manifest_files(pending_of([p]), None)[0].sha256 == "c" * 64
    monkeypatch.undo()
    monkeypatch.setattr(ws, "_stat_signature", lambda st: None)
    ws._resolve_manifest_files(pending_of([p]), None)
    assert json.loads(cache_file(None).read_text())["entries"] == {}


@pytest.mark.parametrize("pending, error", [((), TypeError), ([(Path("x"), "x")], ValueError),
                                            ([(Path("x"), "x", None, 1)], ValueError), ([5], TypeError)])
def test_bad_pending(tmp_path, cache_dir, pending, error):
    with pytest.raises(error):
        ws._resolve_manifest_files(pending, tmp_path)


def test_bad_item_after_good_ones(tmp_path, cache_dir, caplog):
    gone = tmp_path / "gone"
    with caplog.at_level(logging.WARNING, logger="brivel.workspace"), pytest.raises(ValueError):
        ws._resolve_manifest_files([(gone, "g", None), (gone, "g")], tmp_path)
    assert len(caplog.records) == 1


def test_cache_document_text_for_unusual_names(tmp_path, cache_dir):
    names = ["plain", "é ü", "\U0001f600 emoji", 'quo"te', "back\\slash", "tab\tnew\nline\x01\x7f", "del\x7f"]
    raw = os.fsencode(tmp_path) + b"/bad\xff\xfe"
    with open(raw, "wb") as f:
        f.write(b"r")
    paths = files(tmp_path, {n: n.encode("utf-8", "surrogateescape") for n in names}) + [Path(os.fsdecode(raw))]
    ws._resolve_manifest_files(pending_of(paths), tmp_path)
    text = cache_file(tmp_path).read_text()
    entries = {}
    for p in paths:
        st = p.stat()
        entries[str(p)] = {"size": st.st_size, "mtime_ns": st.st_mtime_ns, "ctime_ns": st.st_ctime_ns,
                           "inode": st.st_ino, "sha256": sha(p.read_bytes())}
    assert text == json.dumps({"version": 1, "entries": entries})
    assert text.isascii()


def test_many_files_in_pending_order(tmp_path, cache_dir):
    paths = files(tmp_path, {f"d{i % 7}/f{i:04d}": str(i).encode() for i in range(700)})
    paths[350].unlink()
    result = ws._resolve_manifest_files(pending_of(paths), tmp_path)
    assert [r.local_path for r in result] == paths[:350] + paths[351:]
    assert all(r.sha256 == sha(r.local_path.read_bytes()) for r in result)
    again = ws._resolve_manifest_files(pending_of(paths), tmp_path)
    assert again == result


def test_unencodable_path_fails_in_its_turn(tmp_path, cache_dir, caplog):
    (a,) = files(tmp_path, {"a": b"a"})

    class Odd(type(tmp_path)):
        def stat(self, **kw):
            return a.stat()

    bad = Odd(str(tmp_path / "bad\x00name"))
    with caplog.at_level(logging.WARNING, logger="brivel.workspace"), pytest.raises(ValueError, match="embedded null"):
        ws._resolve_manifest_files([(a, "a", None), (bad, "bad", None)], tmp_path)
    assert caplog.records == []


@pytest.mark.parametrize("shape", ["float size", "reordered", "extra member"])
def test_hit_entry_is_rewritten_in_the_written_form(tmp_path, cache_dir, counting, shape):
    (p,) = files(tmp_path, {"f": b"12345"})
    st = p.stat()
    canonical = {"size": st.st_size, "mtime_ns": st.st_mtime_ns, "ctime_ns": st.st_ctime_ns, "inode": st.st_ino,
                 "sha256": sha(b"12345")}
    stored = dict(canonical)
    if shape == "float size":
        stored["size"] = 5.0
    elif shape == "reordered":
        stored = dict(reversed(list(stored.items())))
    else:
        stored["note"] = "x"
    cache_file(tmp_path).write_text(json.dumps({"version": 1, "entries": {str(p): stored}}))
    ws._resolve_manifest_files(pending_of([p]), tmp_path)
    assert counting == []
    assert cache_file(tmp_path).read_text() == json.dumps({"version": 1, "entries": {str(p): canonical}})


@pytest.mark.timeout(60)
def test_hashing_leaves_the_interpreter_free(tmp_path, cache_dir, monkeypatch):
    import threading
    import time

    monkeypatch.setattr(ws, "HASH_CACHE_ENABLED", False)
    big = tmp_path / "sparse.bin"
    with open(big, "wb") as f:
        f.truncate(512 << 20)  # holes read back as zeros, without using the disk
    done = threading.Event()
    result = []
    worker = threading.Thread(target=lambda: (result.append(ws._resolve_manifest_files(pending_of([big]), None)),
                                              done.set()))
    start = time.perf_counter()
    worker.start()
    last, gap = time.perf_counter(), 0.0
    while not done.is_set():
        now = time.perf_counter()
        gap, last = max(gap, now - last), now
    duration = time.perf_counter() - start
    worker.join(30)
    assert result and result[0][0].size == 512 << 20
    if duration < 0.3:
        pytest.skip("hashed too fast to tell")
    assert gap < duration / 3


@pytest.mark.parametrize("hashing", ["native", "namespace"])
def test_entries_are_new_mappings_not_the_signature(tmp_path, cache_dir, monkeypatch, hashing):
    # One signature object handed out for every file: each entry must still carry its own hash.
    a, b = files(tmp_path, {"a": b"a", "b": b"b"})
    shared = {"size": 1, "mtime_ns": 7, "ctime_ns": 7, "inode": 9}
    monkeypatch.setattr(ws, "_stat_signature", lambda st: shared)
    if hashing == "namespace":
        original = ws._sha256_file
        monkeypatch.setattr(ws, "_sha256_file", lambda p: original(p))
    ws._resolve_manifest_files(pending_of([a, b]), tmp_path)
    assert shared == {"size": 1, "mtime_ns": 7, "ctime_ns": 7, "inode": 9}
    entries = json.loads(cache_file(tmp_path).read_text())["entries"]
    assert [entries[str(p)]["sha256"] for p in (a, b)] == [sha(b"a"), sha(b"b")]
    result = ws._resolve_manifest_files(pending_of([a, b]), tmp_path)  # hits: entries built from the signature
    assert shared == {"size": 1, "mtime_ns": 7, "ctime_ns": 7, "inode": 9}
    assert [r.sha256 for r in result] == [sha(b"a"), sha(b"b")]


def test_pending_changed_by_an_item_does_not_crash(run_python, tmp_path):
    # The first item empties the list while it is unpacked; the rest are no longer read.
    child = run_python(f"""
        import os
        from pathlib import Path
        import brivel.workspace as ws
        os.environ["BRIVEL_CACHE_DIR"] = {str(tmp_path)!r}
        pending = []
        class Emptying:
            def __iter__(self):
                pending.clear()
                return iter((Path({str(tmp_path / 'gone')!r}), "x", None))
        pending.extend([Emptying()] + [(Path(f"/nonexistent/{{i}}"), "y", None) for i in range(1000)])
        print(ws._resolve_manifest_files(pending, None))
    """, timeout=60)
    assert (child.returncode, child.stdout) == (0, "[]\n"), child.stderr


@pytest.mark.parametrize("signature", [
    lambda st, p: {"inode": st.st_ino, "size": st.st_size, "mtime_ns": st.st_mtime_ns, "ctime_ns": st.st_ctime_ns},
    lambda st, p: {"size": float(st.st_size), "mtime_ns": st.st_mtime_ns, "ctime_ns": st.st_ctime_ns,
                   "inode": st.st_ino, "note": ["x", None, True]},
    lambda st, p: {"size": st.st_size, "mtime_ns": st.st_mtime_ns << 70, "ctime_ns": st.st_ctime_ns,
                   "inode": st.st_ino},
    lambda st, p: {"size": st.st_size, "mtime_ns": st.st_mtime_ns, "ctime_ns": st.st_ctime_ns, "inode": st.st_ino}
    if p.name == "b" else None,
], ids=["reordered", "float and extra member", "beyond 64 bits", "some without"])
def test_replaced_signature_of_another_form_is_written_as_json_writes_it(tmp_path, cache_dir, monkeypatch, signature):
    paths = files(tmp_path, {"a": b"a", "caf\u00e9": b"b", "b": b"c"})
    by_ino = {p.stat().st_ino: p for p in paths}
    original = ws._stat_signature
    monkeypatch.setattr(ws, "_stat_signature",
                        lambda st: signature(st, by_ino[st.st_ino]) if by_ino[st.st_ino].name != "a" else original(st))
    for _ in range(2):  # hashed, then found in the cache
        ws._resolve_manifest_files(pending_of(paths), tmp_path)
        entries = {}
        for p in paths:
            sig = ws._stat_signature(p.stat())
            if sig is not None:
                entries[str(p)] = {**sig, "sha256": sha(p.read_bytes())}
        assert cache_file(tmp_path).read_text() == json.dumps({"version": 1, "entries": entries})
