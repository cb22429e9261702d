"""Content hashing and the hash-cache helpers."""

import hashlib
import json
import os
import threading
from pathlib import Path
from types import SimpleNamespace

import pytest

import brivel.workspace as w
from support.manifest_helpers import permissions_bind

CHUNK = 4096


@pytest.fixture
def write(tmp_path):
    def make(name, data):
        path = tmp_path / name
        path.write_bytes(data)
        return path

    return make


@pytest.mark.parametrize("size", [0, 1, CHUNK - 1, CHUNK, CHUNK + 1, 3 * CHUNK, 3 * CHUNK + 5])
def test_sha256_file_matches_hashlib_around_the_block_size(monkeypatch, write, size):
    monkeypatch.setattr(w, "CHUNK_SIZE", CHUNK)
    data = os.urandom(size)
    path = write("f.bin", data)
    assert w._sha256_file(path) == (hashlib.sha256(data).hexdigest(), size)


@pytest.mark.parametrize("size", [(1 << 20) - 1, 1 << 20, (1 << 20) + 1, 5 << 20])
def test_sha256_file_default_block_size(write, size):
    data = os.urandom(size)
    assert w._sha256_file(str(write("f.bin", data))) == (hashlib.sha256(data).hexdigest(), size)


@pytest.mark.parametrize("chunk", [0, -1, 1 << 30])
def test_sha256_file_any_block_size_gives_the_same_digest(monkeypatch, write, chunk):
    monkeypatch.setattr(w, "CHUNK_SIZE", chunk)
    data = os.urandom(10000)
    assert w._sha256_file(write("f.bin", data)) == (hashlib.sha256(data).hexdigest(), 10000)


def test_sha256_file_follows_symlinks_and_takes_path_like(tmp_path, write):
    target = write("t.bin", b"abc")
    link = tmp_path / "link"
    link.symlink_to(target)

    class PathLike:
        def __fspath__(self):
            return str(link)

    expected = (hashlib.sha256(b"abc").hexdigest(), 3)
    assert w._sha256_file(link) == w._sha256_file(PathLike()) == w._sha256_file(os.fsencode(link)) == expected


@pytest.mark.parametrize("kind, error", [
    ("missing", FileNotFoundError), ("directory", IsADirectoryError), ("unreadable", PermissionError),
])
def test_sha256_file_errors(tmp_path, kind, error):
    path = tmp_path / "x"
    if kind == "directory":
        path.mkdir()
    elif kind == "unreadable":
        if not permissions_bind():
            pytest.skip("permissions do not bind this process")
        path.write_bytes(b"x")
        path.chmod(0)
    with pytest.raises(error) as info:
        w._sha256_file(path)
    assert info.value.filename == str(path)


def test_sha256_file_read_error_names_no_file():
    # /proc/self/mem opens but fails its first read, which the interpreter reports without a name.
    with open("/proc/self/mem", "rb") as f, pytest.raises(OSError) as expected:
        f.read(1 << 20)
    with pytest.raises(OSError) as info:
        w._sha256_file("/proc/self/mem")
    assert (type(info.value), str(info.value), info.value.filename) == (
        type(expected.value), str(expected.value), None)


def test_sha256_file_rejects_non_paths():
    with pytest.raises(TypeError):
        w._sha256_file(3.5)


def test_sha256_file_releases_the_gil(write):
    # While a native hash runs, another Python thread must keep running.
    path = write("big.bin", os.urandom(1 << 20) * 96)
    done = threading.Event()
    result = []
    ticks = 0

    def work():
        result.append(w._sha256_file(path))
        done.set()

    t = threading.Thread(target=work)
    t.start()
    while not done.is_set():
        ticks += 1
    t.join(timeout=60)
    assert result[0][1] == 96 << 20
    assert ticks > 1000


def st(**kw):
    return SimpleNamespace(**kw)


@pytest.mark.parametrize("stat, expected", [
    (st(st_size=5, st_mtime_ns=10, st_ctime_ns=11, st_ino=12),
     {"size": 5, "mtime_ns": 10, "ctime_ns": 11, "inode": 12}),
    (st(st_size=5, st_mtime_ns=10), None),
    (st(st_size=5, st_mtime_ns=10, st_ino=0), None),
    (st(st_size=5, st_mtime_ns=None, st_ino=3), None),
    (st(st_size=5, st_mtime_ns=10, st_ino=3), {"size": 5, "mtime_ns": 10, "ctime_ns": 0, "inode": 3}),
    (st(st_size=0, st_mtime_ns=10.9, st_ctime_ns=0, st_ino=True),
     {"size": 0, "mtime_ns": 10, "ctime_ns": 0, "inode": 1}),
])
def test_stat_signature(stat, expected):
    sig = w._stat_signature(stat)
    assert sig == expected
    if sig:
        assert list(sig) == ["size", "mtime_ns", "ctime_ns", "inode"]
        assert all(type(v) is int for v in sig.values())


def test_stat_signature_of_a_real_file_and_missing_size(write):
    path = write("f", b"1234")
    s = os.stat(path)
    assert w._stat_signature(s) == {"size": 4, "mtime_ns": s.st_mtime_ns, "ctime_ns": s.st_ctime_ns,
                                    "inode": s.st_ino}
    with pytest.raises(AttributeError):
        w._stat_signature(st(st_mtime_ns=1, st_ino=1))


SIG = {"size": 5, "mtime_ns": 10, "ctime_ns": 11, "inode": 12}
HEX = "ab" * 32


def entry(**changes):
    e = dict(SIG, sha256=HEX)
    e.update(changes)
    return {k: v for k, v in e.items() if v is not ...}


@pytest.mark.parametrize("cached, sig, expected", [
    (entry(), SIG, HEX),
    (None, SIG, None),
    ({}, SIG, None),
    (entry(), None, None),
    (entry(), {}, None),
    (entry(sha256="a" * 63), SIG, None),
    (entry(sha256="a" * 65), SIG, None),
    (entry(sha256=""), SIG, None),
    (entry(sha256=None), SIG, None),
    (entry(sha256=...), SIG, None),
    (entry(ctime_ns=...), SIG, None),
    (entry(size=6), SIG, None),
    (entry(inode="12"), SIG, None),
    (entry(size=5.0), SIG, HEX),
    (entry(sha256="AB" * 32), SIG, "AB" * 32),
    (entry(sha256="z" * 64), SIG, "z" * 64),
    (entry(sha256=10 ** 63), SIG, str(10 ** 63)),
    (entry(ctime_ns=...), {"size": 5, "mtime_ns": 10, "inode": 12}, HEX),
])
def test_hash_cache_hit(cached, sig, expected):
    assert w._hash_cache_hit(cached, sig) == expected


@pytest.mark.parametrize("cached, sig, name", [
    ([], None, "cached"), (None, "x", "sig"), (SimpleNamespace(), SIG, "cached"),
])
def test_hash_cache_hit_checks_argument_types(cached, sig, name):
    with pytest.raises(TypeError) as info:
        w._hash_cache_hit(cached, sig)
    assert str(info.value).startswith(f"Argument '{name}' has incorrect type (expected dict, got ")


def test_hash_cache_hit_refuses_dict_subclass_with_a_reason():
    class D(dict):
        pass

    with pytest.raises(TypeError) as info:
        w._hash_cache_hit(D(), None)
    msg = str(info.value)
    assert msg.startswith("Argument 'cached' has incorrect type (expected dict, got D)")
    assert "ubclass" in msg[len("Argument 'cached' has incorrect type (expected dict, got D)"):]


def test_hash_cache_dir_from_environment(monkeypatch, tmp_path):
    target = tmp_path / "c"
    monkeypatch.setenv("BRIVEL_CACHE_DIR", str(target))
    assert w._hash_cache_dir() == target / "hashcache" and (target / "hashcache").is_dir()

    monkeypatch.setenv("BRIVEL_CACHE_DIR", "")
    home = Path(os.environ["HOME"])
    assert w._hash_cache_dir() == home / ".brivel_cache" / "hashcache"
    assert (home / ".brivel_cache" / "hashcache").is_dir()

    monkeypatch.chdir(tmp_path)
    monkeypatch.setenv("BRIVEL_CACHE_DIR", "rel")
    assert w._hash_cache_dir() == Path("rel") / "hashcache"
    assert (tmp_path / "rel" / "hashcache").is_dir()


def test_hash_cache_dir_ignores_creation_errors(monkeypatch, tmp_path):
    blocker = tmp_path / "file"
    blocker.write_text("in the way")
    monkeypatch.setenv("BRIVEL_CACHE_DIR", str(blocker))
    assert w._hash_cache_dir() == blocker / "hashcache"


def test_hash_cache_path(monkeypatch, tmp_path, cache_dir):
    root = tmp_path / "proj"
    root.mkdir()
    link = tmp_path / "alias"
    link.symlink_to(root)
    digest = hashlib.sha256(str(root.resolve()).encode()).hexdigest()[:16]
    expected = cache_dir / "hashcache" / f"{digest}.json"
    monkeypatch.chdir(tmp_path)
    assert w._hash_cache_path(root) == w._hash_cache_path(link) == w._hash_cache_path(Path("proj")) == expected
    noroot = hashlib.sha256(b"__noroot__").hexdigest()[:16]
    assert w._hash_cache_path(None).name == f"{noroot}.json"
    assert w._hash_cache_path(tmp_path / "missing").parent == cache_dir / "hashcache"


def test_hash_cache_path_of_undecodable_root(cache_dir, tmp_path):
    root = Path(os.fsdecode(bytes(tmp_path) + b"/r\xff"))
    expected = hashlib.sha256(str(root).encode("utf-8", "surrogatepass")).hexdigest()[:16]
    assert w._hash_cache_path(root).name == f"{expected}.json"


def test_hash_cache_path_looks_up_the_directory_function_late(monkeypatch, tmp_path):
    monkeypatch.setattr(w, "_hash_cache_dir", lambda: tmp_path / "elsewhere")
    assert w._hash_cache_path(None).parent == tmp_path / "elsewhere"
    failure = RuntimeError("no cache dir")

    def boom():
        raise failure

    monkeypatch.setattr(w, "_hash_cache_dir", boom)
    with pytest.raises(RuntimeError) as info:
        w._hash_cache_path(None)
    assert info.value is failure


@pytest.mark.parametrize("content, expected", [
    ('{"version": 1, "entries": {"/a": {"sha256": "x"}}}', {"/a": {"sha256": "x"}}),
    ('{"version": 2, "entries": {"/a": 5}}', {"/a": 5}),
    ('{"entries": []}', {}),
    ('{"entries": 3}', {}),
    ('{"entries": null}', {}),
    ('{"version": 1}', {}),
    ("[1, 2]", {}),
    ('"text"', {}),
    ("{not json", {}),
    ("", {}),
])
def test_load_hash_cache(tmp_path, content, expected):
    path = tmp_path / "c.json"
    path.write_text(content)
    assert w._load_hash_cache(path) == expected


def test_load_hash_cache_unreadable_or_missing(tmp_path):
    bad = tmp_path / "bad.json"
    bad.write_bytes(b'{"entries": {"\xff\xfe": 1}}')
    try:
        bad.read_text()
    except UnicodeDecodeError:
        assert w._load_hash_cache(bad) == {}
    else:  # a locale that decodes every byte reads a valid document
        assert list(w._load_hash_cache(bad).values()) == [1]
    assert w._load_hash_cache(tmp_path / "missing.json") == {}
    assert w._load_hash_cache(tmp_path) == {}


def test_load_hash_cache_switched_off_opens_nothing(monkeypatch):
    class Spy:
        def read_text(self):
            raise AssertionError("opened")

    monkeypatch.setattr(w, "HASH_CACHE_ENABLED", False)
    assert w._load_hash_cache(Spy()) == {}
    monkeypatch.setattr(w, "HASH_CACHE_ENABLED", True)
    assert w._load_hash_cache(Spy()) == {}  # the loader's guard swallows the read failure


def test_load_hash_cache_keeps_escaped_keys(tmp_path):
    key = os.fsdecode(b"/proj/caf\xc3\xa9/\xff.txt")
    path = tmp_path / "c.json"
    path.write_text(json.dumps({"version": 1, "entries": {key: {"sha256": HEX}}}))
    assert path.read_bytes().isascii()
    assert list(w._load_hash_cache(path)) == [key]


def test_sha256_file_waits_on_the_disk_without_the_gil(run_python, tmp_path):
    # A named pipe keeps the hash's open and read waiting until a writer comes and goes; the
    # writer is this interpreter's main thread, which needs the GIL to get there. If the
    # wait held the GIL, the child would lock up, hence the child and its time-out.
    code = f"""
        import hashlib, os, threading
        import brivel.workspace as ws
        fifo = {str(tmp_path / "pipe")!r}
        os.mkfifo(fifo)
        out = []
        t = threading.Thread(target=lambda: out.append(ws._sha256_file(fifo)))
        t.start()
        fd = os.open(fifo, os.O_WRONLY)
        os.write(fd, b"abc")
        os.close(fd)
        t.join(timeout=10)
        print("hashed" if out == [(hashlib.sha256(b"abc").hexdigest(), 3)] else "lost")
    """
    done = run_python(code, timeout=30)
    assert done.stdout.strip() == "hashed", done.stderr


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="the address sanitizer's own allocator cannot run under an address-space limit")
def test_allocation_failure_in_hash_workers_raises_memory_error(run_python, tmp_path):
    # 64 workers each want a 64 MiB block, far beyond the address space left to the child:
    # some allocations fail. The failure must surface as MemoryError once every worker has
    # been joined, not end the interpreter.
    data = os.urandom(1 << 20) * 16
    (tmp_path / "f.bin").write_bytes(data)
    code = f"""
        import resource
        from pathlib import Path
        import brivel.workspace as ws
        ws.UPLOAD_HASH_WORKERS = 64
        ws.CHUNK_SIZE = 64 << 20
        ws.HASH_CACHE_ENABLED = False
        path = Path({str(tmp_path / "f.bin")!r})
        pending = [(path, f"f{{i}}", None) for i in range(64)]
        with open("/proc/self/status") as status:
            vm = next(int(line.split()[1]) for line in status if line.startswith("VmSize:")) * 1024
        resource.setrlimit(resource.RLIMIT_AS, (vm + (256 << 20), resource.RLIM_INFINITY))
        try:
            ws._resolve_manifest_files(pending, None)
        except MemoryError:
            print("MemoryError")
        else:
            print("hashed")
    """
    done = run_python(code, timeout=120)
    assert (done.returncode, done.stdout.strip()) == (0, "MemoryError"), done.stderr


def test_interrupt_stops_the_files_not_yet_hashed(run_python, tmp_path):
    # The pass runs on the caller's thread alone (one worker). The first file turns into a
    # named pipe after the stat pass (from the log call of a missing file, which runs in
    # between), so the hash waits on it; meanwhile Ctrl-C arrives. The later files must not
    # be read: their access times, set far in the past, stay as they are.
    code = f"""
        import os, signal, threading, time
        from pathlib import Path
        import brivel.workspace as ws
        base = Path({str(tmp_path)!r})
        first = base / "first"
        first.write_bytes(b"x")
        later = [base / f"later{{i}}" for i in range(8)]
        for p in later:
            p.write_bytes(b"y" * 1000)
            os.utime(p, (1, time.time()))
        ws.UPLOAD_HASH_WORKERS = 1
        ws.HASH_CACHE_ENABLED = False

        def feed():
            fd = os.open(first, os.O_WRONLY)  # returns once the hash has opened the pipe
            signal.pthread_kill(threading.main_thread().ident, signal.SIGINT)
            time.sleep(0.05)  # lets the pass's check for signals fall due
            os.close(fd)

        class Log:
            def warning(self, *args):
                first.unlink()
                os.mkfifo(first)
                threading.Thread(target=feed).start()

        ws.logger = Log()
        pending = [(base / "missing", "missing", None), (first, "first", None)] + [(p, p.name, None) for p in later]
        try:
            ws._resolve_manifest_files(pending, None)
        except KeyboardInterrupt:
            print("interrupted", sum(os.stat(p).st_atime > 1 for p in later))
        else:
            print("finished")
    """
    done = run_python(code, timeout=60)
    assert done.stdout.strip() == "interrupted 0", done.stderr


def test_far_future_file_times_give_the_interpreters_signature(tmp_path, cache_dir):
    # After 2262, seconds * 10**9 no longer fits in 64 bits: the native stat pass must still
    # store what _stat_signature gives for the file.
    path = tmp_path / "future.txt"
    path.write_bytes(b"from the future")
    future = 10**19  # nanoseconds: the year 2286
    os.utime(path, ns=(future, future))
    if os.stat(path).st_mtime_ns != future:
        pytest.skip("the file system cannot store times after 2262")
    files = w._resolve_manifest_files([(path, "future.txt", None)], tmp_path)
    assert [f.sha256 for f in files] == [hashlib.sha256(b"from the future").hexdigest()]
    entries = json.loads(w._hash_cache_path(tmp_path).read_text())["entries"]
    expected = w._stat_signature(os.stat(path))
    assert expected["mtime_ns"] == future
    assert entries[str(path)] == {**expected, "sha256": files[0].sha256}
    assert w._hash_cache_hit(entries[str(path)], expected) == files[0].sha256
