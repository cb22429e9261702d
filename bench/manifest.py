"""Manifest-building benchmark: build_manifest against the baselines a user has at hand.

Run:  python bench/manifest.py [--small N] [--repeat R] [--large-mib M] [--large-files K]
                               [--tree PATH ...] [--skip-real] [--skip-large] [--skip-memory]
                               [--lane native|step|step-unshortened]

Every figure is a ratio of two medians of R runs (default 5) measured in the same run, the
contenders taken in turns so that a busy spell of the shared machine weighs on all alike;
gc.collect() runs before each timed run and tearing the result down is not timed. The hash
cache lives in a private BRIVEL_CACHE_DIR under the temporary directory.

"The plain script" is what a user would write by hand, on one thread: os.walk with the ignored
directory names pruned through a set, ignored files skipped by name and suffix (both derived
from DEFAULT_IGNORE_PATTERNS and the root's .gitignore), symbolic links to files skipped,
hashlib.sha256(f.read()) per file, collecting (relpath, sha256, size, mode). Before any timing
the script and build_manifest must agree on that set of files.

1. Synthetic tree: N files (default 20,000) of 200-4000 bytes in about N/57 directories three
   levels deep, plus __pycache__/, *.pyc, node_modules/ and .git/ material to prune. Page cache
   warm throughout. Warm build (hash cache filled) against the bare stat walk
   `find ROOT -printf '%s %T@ %i\\n' >/dev/null` (its start-up, `find ROOT -maxdepth 0`, is
   subtracted) and against os.walk + os.stat; cold build (no cache file) and warm build against
   the plain script.
2. Peak memory of a build of the synthetic tree, cold and warm, each in a fresh interpreter:
   "result" is what tracemalloc sees the result hold; "peak" is the larger of tracemalloc's
   peak during the build and the growth of the peak resident size over the resident size just
   before it (a separate child, so that tracemalloc's own books stay out). Native buffers show
   only in the resident figure.
3. Real trees: the interpreter's library directory and a site-packages directory, each built as
   Workspace(root=DIR), warm and cold against the plain script. --tree PATH adds a tree;
   with --skip-real only the --tree ones run.
4. Large files: M MiB (default 1024) in K files (default 4), written, fsync'ed and evicted from
   the page cache (posix_fadvise DONTNEED) before each cold run, against sha256sum of the same
   files run in parallel with xargs -P <cores> (and, informative, hashlib.file_digest on as
   many threads); also with the page cache warm. On a virtual machine the host may still
   cache the disk's blocks, which nothing inside the guest can drop.

--lane step measures the step-by-step lane: _walk_tree is rebound to a wrapper of itself, so
that build_manifest takes every step through the module namespace instead of its native pass.
--lane step-unshortened is that lane without its two native shortcuts (the batched native stat
and the native hash workers): _stat_signature, _hash_cache_hit and _sha256_file are rebound to
functools.partial of themselves, which costs next to nothing per call but is not the module's
own, so every item goes through the namespace. Comparing it with --lane step tells what the
shortcuts pay.

Nothing here is a test. Set BENCH_DIR to put the temporary trees elsewhere than /tmp.
"""

import argparse
import concurrent.futures
import functools
import gc
import hashlib
import json
import logging
import os
import random
import shutil
import site
import statistics
import subprocess
import sys
import sysconfig
import tempfile
import time
import tracemalloc
from pathlib import Path

import brivel.workspace as ws

WILDCARDS = frozenset("*?[")


# ---------------------------------------------------------------- the plain script --

class PlainRules:
    """The ignore patterns as a user writes them by hand: a set of names and a tuple of
    suffixes, tested on every directory and file name. `unexpressed` lists the patterns
    that fit neither (the comparison is then made on the files both sides ship)."""

    def __init__(self, patterns):
        names, suffixes, self.unexpressed = set(), [], []
        for pattern in patterns:
            cleaned, _ = ws._normalize_pattern(pattern)
            if not cleaned:
                continue
            if "/" in cleaned:
                self.unexpressed.append(pattern)
            elif not WILDCARDS & set(cleaned):
                names.add(cleaned)
            elif cleaned[0] == "*" and not WILDCARDS & set(cleaned[1:]):
                suffixes.append(cleaned[1:])
            else:
                self.unexpressed.append(pattern)
        self.names = frozenset(names)
        self.suffixes = tuple(suffixes)

    @classmethod
    def for_root(cls, root):
        return cls([*ws.DEFAULT_IGNORE_PATTERNS, *ws.load_gitignore(root)])


def plain_script(root, rules, read=True):
    """(relpath, sha256, size, mode) of every shipped file; with read=False only os.stat
    per file, giving (relpath, size)."""
    names, suffixes = rules.names, rules.suffixes
    out = []
    for dirpath, dirnames, filenames in os.walk(root):
        dirnames[:] = [d for d in dirnames if d not in names and not d.endswith(suffixes)]
        rel_dir = os.path.relpath(dirpath, root)
        for name in filenames:
            if name in names or name.endswith(suffixes):
                continue
            path = os.path.join(dirpath, name)
            rel = name if rel_dir == "." else f"{rel_dir}/{name}"
            try:
                if not read:
                    out.append((rel, os.stat(path).st_size))
                    continue
                if os.path.islink(path):
                    continue
                with open(path, "rb") as f:
                    data = f.read()
                    mode = os.fstat(f.fileno()).st_mode & 0o777
                out.append((rel, hashlib.sha256(data).hexdigest(), len(data), mode))
            except OSError:
                continue
    return out


def shipped(built):
    return {(f.relpath, f.sha256, f.size, f.mode) for f in built.files}


def agree(built, plain, rules):
    """None when both sides ship the same files, else a line saying how they differ. With
    patterns a set cannot express, only the files both ship must carry the same content."""
    ours, theirs = shipped(built), set(plain)
    if ours == theirs:
        return None
    if rules.unexpressed:
        by_rel = {f[0]: f for f in theirs}
        common = [f for f in ours if f[0] in by_rel]
        if all(by_rel[f[0]] == f for f in common):
            print(f"    patterns a set cannot express: {rules.unexpressed}; compared on the "
                  f"{len(common)} files both ship ({len(ours) - len(common)} only in the build, "
                  f"{len(theirs) - len(common)} only in the plain script)")
            return None
    only_build = sorted(ours - theirs)[:3]
    only_plain = sorted(theirs - ours)[:3]
    return f"build and plain script disagree: only in the build {only_build}, only in the script {only_plain}"


# ---------------------------------------------------------------- timing ------------

def medians(repeat, cases):
    """Median seconds of each case: (fn, before or None), the cases run in turns; `before`
    prepares a run untimed, and the result is dropped after the clock stops."""
    runs = [[] for _ in cases]
    for _ in range(repeat):
        for times, (fn, before) in zip(runs, cases):
            if before:
                before()
            gc.collect()
            start = time.perf_counter()
            result = fn()
            times.append(time.perf_counter() - start)
            del result
    return [statistics.median(times) for times in runs]


def shown(seconds):
    return f"{seconds * 1e3:.1f} ms" if seconds < 10 else f"{seconds:.2f} s"


def report(label, ours, base_label, base, goal=None, faster=False):
    """One line: the two times, the ratio and the goal. faster=True states the speed-up
    (base / ours, goal a minimum), else the time ratio (ours / base, goal a maximum)."""
    ratio = base / ours if faster else ours / base
    if goal is None:
        tail = "(informative)"
    else:
        met = ratio >= goal if faster else ratio <= goal
        tail = f"(goal {'>=' if faster else '<='} {goal:g}x)  {'met' if met else 'MISSED'}"
    print(f"    {label:12} {shown(ours):>10} | {base_label:12} {shown(base):>10} | "
          f"{ratio:.2f}x {'faster' if faster else base_label} {tail}")


def run_quiet(cmd, **kw):
    subprocess.run(cmd, stdout=subprocess.DEVNULL, check=True, **kw)


# ---------------------------------------------------------------- synthetic tree ----

def make_small_tree(root, n, per_dir=57):
    """n shipped files of 200-4000 bytes, per_dir to a directory, three levels deep, and
    ignored material beside them: __pycache__/ and *.pyc in every directory, a node_modules/
    of 2,000 files and a .git/ of 500."""
    rng = random.Random(12345)
    dirs = max(1, round(n / per_dir))
    for d in range(dirs):
        sub = root / f"pkg{d // 50}" / f"mod{d // 5 % 10}" / f"part{d % 5}"
        (sub / "__pycache__").mkdir(parents=True)
        count = n // dirs + (d < n % dirs)
        for k in range(count):
            (sub / f"file{k}.py").write_bytes(rng.randbytes(rng.randrange(200, 4001)))
            if k % 8 == 0:
                (sub / "__pycache__" / f"file{k}.cpython-311.pyc").write_bytes(b"c" * 100)
        (sub / "stale.pyc").write_bytes(b"p" * 50)
    for i in range(200):
        lib = root / "node_modules" / f"lib{i}"
        lib.mkdir(parents=True)
        for k in range(10):
            (lib / f"f{k}.js").write_bytes(b"j" * 300)
    (root / ".git" / "objects").mkdir(parents=True)
    for i in range(500):
        (root / ".git" / "objects" / f"o{i}").write_bytes(b"g" * 100)


def bench_small(root, repeat):
    spec = ws.Workspace(root=root)
    cache = ws._hash_cache_path(root)
    rules = PlainRules.for_root(root)
    built = ws.build_manifest(spec)
    plain = plain_script(root, rules)
    problem = agree(built, plain, rules)
    assert problem is None and not rules.unexpressed, problem
    assert built.total_size_bytes == sum(f[2] for f in plain)
    dirs = sum(1 for _ in os.walk(root))
    print(f"1. synthetic tree: {len(built.files)} files shipped, {built.total_size_bytes / 1e6:.1f} MB, "
          f"{dirs} directories (ignored ones included); page cache warm")
    del built, plain

    def find():
        run_quiet(["find", str(root), "-printf", r"%s %T@ %i\n"])

    def drop_cache():
        cache.unlink(missing_ok=True)

    find_start, find_t, stat_walk, cold, warm, script = medians(repeat, [
        (lambda: run_quiet(["find", str(root), "-maxdepth", "0", "-printf", ""]), None),
        (find, None),
        (lambda: plain_script(root, rules, read=False), None),
        (lambda: ws.build_manifest(spec), drop_cache),
        (lambda: ws.build_manifest(spec), None),  # the cold run before it filled the cache
        (lambda: plain_script(root, rules), None),
    ])
    find_t = max(find_t - find_start, 1e-6)
    report("warm build", warm, "find", find_t, goal=2)
    report("warm build", warm, "os.walk+stat", stat_walk)
    report("cold build", cold, "plain script", script, goal=2, faster=True)
    report("warm build", warm, "plain script", script, faster=True)
    print(f"    (find's start-up, {shown(find_start)}, is subtracted from its time)")


# ---------------------------------------------------------------- peak memory -------

def proc_status_kib(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(f"no {field} in /proc/self/status")


def memory_child(root, mode, method):
    """Runs in a fresh interpreter: one build of `root`, prints its memory figures as JSON."""
    logging.getLogger("brivel.workspace").setLevel(logging.ERROR)
    root = Path(root)
    with tempfile.TemporaryDirectory(dir=root.parent) as tiny:  # everything the build loads, loaded
        Path(tiny, "f").write_bytes(b"x")
        ws.build_manifest(ws.Workspace(root=tiny))
    if mode == "cold":
        ws._hash_cache_path(root).unlink(missing_ok=True)
    spec = ws.Workspace(root=root)
    gc.collect()
    if method == "traced":
        tracemalloc.start()
        before = tracemalloc.get_traced_memory()[0]
        result = ws.build_manifest(spec)
        gc.collect()
        current, peak = tracemalloc.get_traced_memory()
        tracemalloc.stop()
        figures = {"result": current - before, "peak": peak - before}
    else:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")  # the peak resident size starts again from the current one
        before = proc_status_kib("VmRSS")
        result = ws.build_manifest(spec)
        figures = {"peak": (proc_status_kib("VmHWM") - before) * 1024}
    figures["files"] = len(result.files)
    print(json.dumps(figures))


def bench_memory(root, lane):
    def child(mode, method):
        out = subprocess.run([sys.executable, __file__, "--memory-child", str(root), mode, method, lane],
                             capture_output=True, text=True, check=True).stdout
        return json.loads(out.splitlines()[-1])

    print("2. peak memory of a build of the synthetic tree, each in a fresh interpreter "
          "(native buffers show only in the resident size)")
    for mode in ("cold", "warm"):  # a cold child leaves the cache filled for the warm ones
        traced, resident = child(mode, "traced"), child(mode, "rss")
        peak = max(traced["peak"], resident["peak"])
        ratio = peak / traced["result"]
        print(f"    {mode} build: result {traced['result'] / 1e6:.1f} MB ({traced['files']} files) | peak "
              f"{peak / 1e6:.1f} MB (traced {traced['peak'] / 1e6:.1f} MB, resident +{resident['peak'] / 1e6:.1f} MB) "
              f"| {ratio:.2f}x result (goal <= 1.5x)  {'met' if ratio <= 1.5 else 'MISSED'}")


# ---------------------------------------------------------------- real trees --------

def real_trees():
    """The interpreter's library directory and the fullest site-packages directory."""
    paths = sysconfig.get_paths()
    candidates = [paths["purelib"], *site.getsitepackages()]
    existing = [c for c in dict.fromkeys(candidates) if os.path.isdir(c)]
    trees = [paths["stdlib"]]
    if existing:
        trees.append(max(existing, key=lambda c: len(os.listdir(c))))
    return trees


def bench_real(tree, repeat):
    root = Path(tree).resolve()
    spec = ws.Workspace(root=root)
    cache = ws._hash_cache_path(root)
    rules = PlainRules.for_root(root)
    cache.unlink(missing_ok=True)
    built = ws.build_manifest(spec)  # these two passes also fill the page cache
    plain = plain_script(root, rules)
    print(f"3. {root}: {len(built.files)} files shipped, {built.total_size_bytes / 1e6:.1f} MB")
    problem = agree(built, plain, rules)
    del built, plain
    if problem:
        print(f"    not timed: {problem}")
        return
    cold, warm, script = medians(repeat, [
        (lambda: ws.build_manifest(spec), lambda: cache.unlink(missing_ok=True)),
        (lambda: ws.build_manifest(spec), None),
        (lambda: plain_script(root, rules), None),
    ])
    report("warm build", warm, "plain script", script, goal=4, faster=True)
    report("cold build", cold, "plain script", script, goal=2, faster=True)


# ---------------------------------------------------------------- large files -------

def evict(paths):
    for p in paths:
        fd = os.open(p, os.O_RDONLY)
        try:
            os.fsync(fd)
            os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
        finally:
            os.close(fd)


def bench_large(large, mib, files, repeat, cores):
    large.mkdir()
    each = mib * 1048576 // files
    paths = []
    block = os.urandom(1048576)
    for i in range(files):
        p = large / f"blob{i}.bin"
        with open(p, "wb") as f:
            f.writelines(block[k % 7:] + block[:k % 7] for k in range(each // 1048576))
        paths.append(p)
    spec = ws.Workspace(root=large)
    cache = ws._hash_cache_path(large)
    listing = "\0".join(map(str, paths)).encode()

    def sha256sum():
        run_quiet(["xargs", "-0", "-n", "1", "-P", str(cores), "sha256sum"], input=listing)

    def file_digests():  # the same in plain Python: hashlib releases the GIL while it hashes
        def digest(path):
            with open(path, "rb") as f:
                return hashlib.file_digest(f, "sha256").hexdigest()

        with concurrent.futures.ThreadPoolExecutor(cores) as pool:
            return list(pool.map(digest, paths))

    def cold_build():
        cache.unlink(missing_ok=True)
        evict(paths)

    cold, tool, threads, warm, tool_warm = medians(repeat, [
        (lambda: ws.build_manifest(spec), cold_build),
        (sha256sum, lambda: evict(paths)),
        (file_digests, lambda: evict(paths)),
        (lambda: ws.build_manifest(spec), lambda: cache.unlink(missing_ok=True)),
        (sha256sum, None),
    ])
    print(f"4. large files: {files} files, {mib} MiB; evicted from the page cache before each cold run; "
          f"sha256sum run with xargs -P {cores}")
    report("cold build", cold, "sha256sum", tool, goal=1)
    print(f"    ({mib / cold:.0f} MiB/s against {mib / tool:.0f} MiB/s)")
    report("cold build", cold, "hashlib", threads)
    print(f"    (hashlib.file_digest on {cores} threads, {mib / threads:.0f} MiB/s)")
    report("warm pages", warm, "sha256sum", tool_warm)


# ---------------------------------------------------------------- main --------------

def use_lane(lane):
    """lane "step": _walk_tree rebound to a wrapper of itself, which takes build_manifest off
    its native pass; "step-unshortened": also the step lane's native shortcuts off."""
    if lane in ("step", "step-unshortened"):
        walk = ws._walk_tree
        ws._walk_tree = lambda *a, **k: walk(*a, **k)
    if lane == "step-unshortened":
        for name in ("_stat_signature", "_hash_cache_hit", "_sha256_file"):
            setattr(ws, name, functools.partial(getattr(ws, name)))


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--small", type=int, default=20000, help="files in the synthetic tree")
    ap.add_argument("--repeat", type=int, default=5, help="runs per figure (the median counts)")
    ap.add_argument("--large-mib", type=int, default=1024)
    ap.add_argument("--large-files", type=int, default=4)
    ap.add_argument("--tree", action="append", default=[], help="another real tree to build (repeatable)")
    ap.add_argument("--skip-real", action="store_true", help="no default real trees (--tree ones still run)")
    ap.add_argument("--skip-large", action="store_true")
    ap.add_argument("--skip-memory", action="store_true")
    ap.add_argument("--lane", choices=("native", "step", "step-unshortened"), default="native",
                    help="step: every step through the module namespace (no native pass); "
                         "step-unshortened: the same without its native shortcuts")
    ap.add_argument("--memory-child", nargs=4, help=argparse.SUPPRESS)
    args = ap.parse_args()
    logging.getLogger("brivel.workspace").setLevel(logging.ERROR)  # the large-workspace warning is expected
    if args.memory_child:
        use_lane(args.memory_child.pop())
        return memory_child(*args.memory_child)

    use_lane(args.lane)
    cores = os.cpu_count() or 1
    load = " ".join(f"{x:.2f}" for x in os.getloadavg())
    print(f"cores={cores} UPLOAD_HASH_WORKERS={ws.UPLOAD_HASH_WORKERS} python={sys.version.split()[0]} "
          f"load average={load} repeat={args.repeat} (medians) lane={args.lane}")
    started = time.perf_counter()
    with tempfile.TemporaryDirectory(prefix="brivel-bench-", dir=os.environ.get("BENCH_DIR")) as tmp:
        tmp = Path(tmp).resolve()
        os.environ["BRIVEL_CACHE_DIR"] = str(tmp / "cache")  # never the user's own cache

        small = tmp / "small"
        make_small_tree(small, args.small)
        bench_small(small, args.repeat)
        if not args.skip_memory:
            bench_memory(small, args.lane)
        shutil.rmtree(small)

        for tree in ([] if args.skip_real else real_trees()) + args.tree:
            bench_real(tree, args.repeat)

        if not args.skip_large:
            bench_large(tmp / "large", args.large_mib, args.large_files, args.repeat, cores)
    load = " ".join(f"{x:.2f}" for x in os.getloadavg())
    print(f"done in {time.perf_counter() - started:.0f} s; load average={load}")


if __name__ == "__main__":
    main()
