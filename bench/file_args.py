"""Directory arguments: resolving a directory into its in-memory archive, against the plain
zipfile loop a user would write over the same tree, in the same run.

Two trees: many small files (5,000 by default) and a few large ones (four of 64 MiB). For
each it prints the best wall-clock and processor time of resolve_file_args, of the zipfile
loop, and of only reading every file (the floor no archive can beat), and the ratios
resolve / zipfile (goals, on wall-clock time: at most 0.5 for the small files, at most 1.0
for the large ones). The processor-time ratio shows the work done, which a busy shared
machine does not blur.

    python bench/file_args.py [--small 5000] [--large 4] [--large-mib 64] [--repeat 3]
"""

import argparse
import os
import random
import resource
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))

import brivel.spillbox as sb  # noqa: E402
from support.archives import archive_listing, zipfile_archive  # noqa: E402


def text_block(n: int, rng: random.Random) -> bytes:
    """Compressible bytes, about 2:1 under Deflate, like source or CSV text."""
    words = [rng.randbytes(rng.randint(2, 9)).hex() for _ in range(512)]
    out = bytearray()
    while len(out) < n:
        out += " ".join(rng.choices(words, k=64)).encode() + b"\n"
    return bytes(out[:n])


def make_small(root: Path, count: int) -> None:
    rng = random.Random(1)
    pool = text_block(1 << 20, rng)
    for i in range(count):
        d = root / f"pkg{i % 50:02d}" / f"mod{i % 7}"
        d.mkdir(parents=True, exist_ok=True)
        size = rng.randint(100, 8000)
        start = rng.randint(0, len(pool) - size)
        (d / f"file{i:05d}.txt").write_bytes(pool[start:start + size])


def make_large(root: Path, count: int, mib: int) -> None:
    rng = random.Random(2)
    root.mkdir(parents=True, exist_ok=True)
    for i in range(count):
        block = text_block(8 << 20, rng)
        with open(root / f"big{i}.dat", "wb") as f:
            for _ in range(mib // 8):
                f.write(block[:4 << 20] + rng.randbytes(1 << 10) + block[(4 << 20) + (1 << 10):])


def read_all(root: Path) -> None:
    for dirpath, _dirs, files in os.walk(root):
        for name in files:
            with open(os.path.join(dirpath, name), "rb") as f:
                while f.read(1 << 20):
                    pass


def cpu_seconds() -> float:
    use = resource.getrusage(resource.RUSAGE_SELF)  # every thread of the process
    return use.ru_utime + use.ru_stime


def timed(fn) -> tuple[float, float]:
    """Wall-clock and processor seconds of one call."""
    wall, cpu = time.perf_counter(), cpu_seconds()
    fn()
    return time.perf_counter() - wall, cpu_seconds() - cpu


def best_interleaved(n: int, *fns) -> list[tuple[float, float]]:
    """Best wall and processor time of each function, the runs taken in turns, so that a
    busy spell of a shared machine weighs on all of them alike."""
    best = [(float("inf"), float("inf"))] * len(fns)
    for _ in range(n):
        for i, fn in enumerate(fns):
            wall, cpu = timed(fn)
            best[i] = (min(best[i][0], wall), min(best[i][1], cpu))
    return best


def measure(label: str, root: Path, repeat: int, goal: float) -> None:
    (ref,), _, found = sb.resolve_file_args((str(root),), {})
    expected, count = zipfile_archive(root)
    assert found == 1 and ref._file_count == count
    assert archive_listing(ref._data) == archive_listing(expected), "archives differ"
    read_all(root)  # the page cache holds the tree for every figure below

    ours, plain, floor = best_interleaved(repeat, lambda: sb.resolve_file_args((str(root),), {}),
                                          lambda: zipfile_archive(root), lambda: read_all(root))
    mib = sum(f.stat().st_size for f in root.rglob("*") if f.is_file()) / (1 << 20)
    ratio = ours[0] / plain[0]
    print(f"{label}: {count} files, {mib:.1f} MiB, archive {len(ref._data) / (1 << 20):.1f} MiB")
    for name, (wall, cpu) in (("resolve_file_args", ours), ("zipfile loop", plain), ("read only", floor)):
        print(f"  {name:18} {wall:8.3f} s wall {cpu:8.3f} s processor")
    print(f"  ratio resolve/zipfile {ratio:.2f} wall, {ours[1] / plain[1]:.2f} processor"
          f"  (goal <= {goal:.1f} wall: {'met' if ratio <= goal else 'MISSED'})")


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--small", type=int, default=5000, help="number of small files")
    parser.add_argument("--large", type=int, default=4, help="number of large files")
    parser.add_argument("--large-mib", type=int, default=64, help="size of each large file in MiB")
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()

    print(f"cores: {os.cpu_count()}  load average: {os.getloadavg()[0]:.1f}")
    with tempfile.TemporaryDirectory() as tmp:
        small, large = Path(tmp) / "small", Path(tmp) / "large"
        make_small(small, args.small)
        measure("small files", small, args.repeat, 0.5)
        make_large(large, args.large, args.large_mib)
        measure("large files", large, args.repeat, 1.0)


if __name__ == "__main__":
    main()
