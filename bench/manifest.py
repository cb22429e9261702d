"""Manifest-building benchmark: native build_manifest against plain-Python references.

Run:  python bench/manifest.py [--small N] [--large-mib M] [--large-files K] [--repeat R]

(a) N small files in nested directories with the default ignore patterns (plus ignored
    directories and files that must be pruned or skipped), cold (no hash cache) and warm
    (hash cache filled), against a reference written here with os.walk, fnmatch and hashlib
    in a thread pool, applying the same rules.
(b) M MiB in K large files, page cache dropped for those files before each run (written,
    fsync'ed, then evicted with posix_fadvise(DONTNEED)), against sha256sum of the same
    files run in parallel with xargs -P <cores>. On a virtual machine the host may still
    cache the disk's blocks, which nothing inside the guest can drop.

Figures are ratios measured in the same run; nothing here is a test.
"""

import argparse
import concurrent.futures
import dataclasses
import gc
import hashlib
import json
import logging
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import brivel.workspace as ws

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
from support.manifest_helpers import ref_matches  # noqa: E402


# ---------------------------------------------------------------- reference -----

@dataclasses.dataclass
class RefFile:
    relpath: str
    sha256: str
    size: int
    mode: int
    local_path: Path
    to: str = None


def ref_sha256(path):
    h = hashlib.sha256()
    n = 0
    with open(path, "rb") as f:
        while True:
            block = f.read(1048576)
            if not block:
                break
            h.update(block)
            n += len(block)
    return h.hexdigest(), n


def ref_build(root, cache_file, workers):
    patterns = list(ws.DEFAULT_IGNORE_PATTERNS)
    pending = []
    total = 0
    for dirpath, dirnames, filenames in os.walk(root):
        rel_dir = os.path.relpath(dirpath, root).replace("\\", "/")
        rel_dir = "" if rel_dir == "." else rel_dir
        dirnames[:] = [d for d in dirnames if not ref_matches(f"{rel_dir}/{d}" if rel_dir else d, patterns)]
        for name in filenames:
            rel = f"{rel_dir}/{name}" if rel_dir else name
            if ref_matches(rel, patterns):
                continue
            path = Path(dirpath) / name
            if path.is_symlink():
                continue
            try:
                size = path.stat().st_size
            except OSError:
                continue
            total += size
            pending.append((path, rel, None))
    try:
        cache = json.loads(cache_file.read_text()).get("entries") or {}
    except Exception:
        cache = {}
    results = [None] * len(pending)
    fresh = {}
    to_hash = []
    for i, (path, rel, to) in enumerate(pending):
        try:
            st = path.stat()
        except OSError:
            continue
        sig = {"size": st.st_size, "mtime_ns": st.st_mtime_ns, "ctime_ns": st.st_ctime_ns, "inode": st.st_ino}
        key = str(path)
        entry = cache.get(key)
        if isinstance(entry, dict) and len(str(entry.get("sha256") or "")) == 64 and all(
                entry.get(k) == sig[k] for k in sig):
            results[i] = RefFile(rel, entry["sha256"], st.st_size, st.st_mode & 0o777, path, to)
            fresh[key] = {**sig, "sha256": entry["sha256"]}
        else:
            to_hash.append((i, path, rel, to, st.st_mode & 0o777, sig))

    def hash_one(item):
        i, path, rel, to, mode, sig = item
        try:
            digest, n = ref_sha256(path)
        except OSError:
            return i, None, None
        return i, RefFile(rel, digest, n, mode, path, to), (str(path), {**sig, "sha256": digest})

    if to_hash:
        with concurrent.futures.ThreadPoolExecutor(max_workers=max(1, min(workers, len(to_hash)))) as pool:
            for i, rec, (key, entry) in pool.map(hash_one, to_hash):
                if rec is not None:
                    results[i] = rec
                    fresh[key] = entry
    cache_file.write_text(json.dumps({"version": 1, "entries": fresh}))
    return [r for r in results if r is not None], total


# ---------------------------------------------------------------- trees ---------

def make_small_tree(root, n):
    """n shipped files of 200-4000 bytes, 3 levels deep, plus ignored material."""
    rng = 12345
    made = 0
    d1 = 0
    while made < n:
        for d2 in range(10):
            base = root / f"pkg{d1}" / f"mod{d2}"
            for d3 in range(4):
                sub = base / f"part{d3}"
                sub.mkdir(parents=True, exist_ok=True)
                for k in range(5):
                    if made >= n:
                        break
                    rng = (rng * 1103515245 + 12345) & 0x7FFFFFFF
                    (sub / f"file{k}.py").write_bytes(os.urandom(200 + rng % 3800))
                    made += 1
                (sub / "__pycache__").mkdir(exist_ok=True)
                (sub / "__pycache__" / "x.cpython-311.pyc").write_bytes(b"c" * 100)
                (sub / "stale.pyc").write_bytes(b"p" * 50)
        d1 += 1
    nm = root / "node_modules"
    for i in range(200):
        (nm / f"lib{i}").mkdir(parents=True, exist_ok=True)
        for k in range(10):
            (nm / f"lib{i}" / f"f{k}.js").write_bytes(b"j" * 300)
    (root / ".git" / "objects").mkdir(parents=True, exist_ok=True)
    for i in range(500):
        (root / ".git" / "objects" / f"o{i}").write_bytes(b"g" * 100)


def evict(paths):
    for p in paths:
        fd = os.open(p, os.O_RDONLY)
        try:
            os.fsync(fd)
            os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
        finally:
            os.close(fd)


def timed(fn, repeat, before=None):
    best = None
    for _ in range(repeat):
        if before:
            before()
        gc.collect()
        t = time.perf_counter()
        result = fn()
        dt = time.perf_counter() - t
        del result  # tearing the result down is not part of the build
        best = dt if best is None else min(best, dt)
    return best


# ---------------------------------------------------------------- main ----------

def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--small", type=int, default=20000)
    ap.add_argument("--large-mib", type=int, default=1024)
    ap.add_argument("--large-files", type=int, default=4)
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--skip-large", action="store_true")
    args = ap.parse_args()
    logging.getLogger("brivel.workspace").setLevel(logging.ERROR)  # the large-workspace warning is expected
    cores = os.cpu_count() or 1
    workers = ws.UPLOAD_HASH_WORKERS
    print(f"cores={cores} UPLOAD_HASH_WORKERS={workers} python={sys.version.split()[0]}")

    with tempfile.TemporaryDirectory(prefix="brivel-bench-", dir=os.environ.get("BENCH_DIR")) as tmp:
        tmp = Path(tmp)
        cache_root = tmp / "cache"
        os.environ["BRIVEL_CACHE_DIR"] = str(cache_root)

        # (a) small files
        small = tmp / "small"
        make_small_tree(small, args.small)
        spec = ws.Workspace(root=small)
        native_cache = ws._hash_cache_path(small.resolve())
        ref_cache = tmp / "ref-cache.json"

        def drop_caches():
            for p in (native_cache, ref_cache):
                if p.exists():
                    p.unlink()

        built = ws.build_manifest(spec)
        ref_files, ref_total = ref_build(small.resolve(), ref_cache, workers)
        assert {(f.relpath, f.sha256, f.size, f.mode) for f in built.files} == \
               {(f.relpath, f.sha256, f.size, f.mode) for f in ref_files}, "reference disagrees"
        assert built.total_size_bytes == ref_total
        print(f"(a) {len(built.files)} files shipped, {built.total_size_bytes / 1e6:.1f} MB "
              f"(page cache warm: the tree was just written)")
        del built, ref_files  # timed runs start from the same interpreter state
        gc.collect()

        cold_native = timed(lambda: ws.build_manifest(spec), args.repeat, drop_caches)
        cold_ref = timed(lambda: ref_build(small.resolve(), ref_cache, workers), args.repeat, drop_caches)
        ws.build_manifest(spec)
        ref_build(small.resolve(), ref_cache, workers)
        warm_native = timed(lambda: ws.build_manifest(spec), args.repeat)
        warm_ref = timed(lambda: ref_build(small.resolve(), ref_cache, workers), args.repeat)
        print(f"    cold: native {cold_native * 1e3:8.1f} ms   reference {cold_ref * 1e3:8.1f} ms   "
              f"speed-up {cold_ref / cold_native:5.2f}x (target >= 3x)")
        print(f"    warm: native {warm_native * 1e3:8.1f} ms   reference {warm_ref * 1e3:8.1f} ms   "
              f"speed-up {warm_ref / warm_native:5.2f}x (target >= 5x)")
        shutil.rmtree(small)

        if args.skip_large:
            return
        # (b) large files
        large = tmp / "large"
        large.mkdir()
        each = args.large_mib * 1048576 // args.large_files
        paths = []
        block = os.urandom(1048576)
        for i in range(args.large_files):
            p = large / f"blob{i}.bin"
            with open(p, "wb") as f:
                for k in range(each // 1048576):
                    f.write(block[k % 7:] + block[:k % 7])
            paths.append(p)
        spec = ws.Workspace(root=large)
        large_cache = ws._hash_cache_path(large.resolve())

        def cold_large():
            if large_cache.exists():
                large_cache.unlink()
            evict(paths)

        def sha256sum():
            listing = "\0".join(str(p) for p in paths).encode()
            subprocess.run(["xargs", "-0", "-n", "1", "-P", str(cores), "sha256sum"], input=listing,
                           stdout=subprocess.DEVNULL, check=True)

        native = timed(lambda: ws.build_manifest(spec), args.repeat, cold_large)
        tool = timed(sha256sum, args.repeat, lambda: evict(paths))
        native_hot = timed(lambda: ws.build_manifest(spec), args.repeat,
                           lambda: large_cache.exists() and large_cache.unlink())
        tool_hot = timed(sha256sum, args.repeat)
        mib = args.large_mib
        print(f"(b) {args.large_files} files, {mib} MiB; files evicted from the page cache before each cold run")
        print(f"    cold: native {native:6.3f} s ({mib / native:6.0f} MiB/s)   sha256sum -P{cores} {tool:6.3f} s "
              f"({mib / tool:6.0f} MiB/s)   native/sha256sum {native / tool:4.2f} (target <= 1.15)")
        print(f"    page cache warm: native {native_hot:6.3f} s   sha256sum {tool_hot:6.3f} s   "
              f"ratio {native_hot / tool_hot:4.2f}")


if __name__ == "__main__":
    main()
