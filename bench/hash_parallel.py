"""Two threads hashing two large files should take about the time of one file on two cores.

Prints the time of one file, of two files hashed on two threads, and their ratio
(1.0 is perfect overlap; 2.0 means the hashing is serialised).

    python bench/hash_parallel.py [--mib 256]
"""

import argparse
import hashlib
import os
import tempfile
import threading
import time
from pathlib import Path

import brivel.workspace as w


def make_file(path: Path, mib: int) -> None:
    block = os.urandom(1 << 20)
    with open(path, "wb") as f:
        for _ in range(mib):
            f.write(block)


def timed(fn) -> float:
    start = time.perf_counter()
    fn()
    return time.perf_counter() - start


def best_of(n, fn) -> float:
    return min(timed(fn) for _ in range(n))


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--mib", type=int, default=256, help="size of each file in MiB")
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()

    with tempfile.TemporaryDirectory() as tmp:
        a, b = Path(tmp) / "a.bin", Path(tmp) / "b.bin"
        make_file(a, args.mib)
        make_file(b, args.mib)
        # Warm the page cache so that the figures compare hashing, not the disk.
        w._sha256_file(a), w._sha256_file(b)

        def two_threads():
            threads = [threading.Thread(target=w._sha256_file, args=(p,)) for p in (a, b)]
            for t in threads:
                t.start()
            for t in threads:
                t.join()

        def hashlib_one():
            h = hashlib.sha256()
            with open(a, "rb") as f:
                while chunk := f.read(1 << 20):
                    h.update(chunk)

        one = best_of(args.repeat, lambda: w._sha256_file(a))
        two = best_of(args.repeat, two_threads)
        ref = best_of(args.repeat, hashlib_one)
        rate = args.mib / one
        print(f"cores: {os.cpu_count()}  file: {args.mib} MiB")
        print(f"one file:            {one:.3f} s  ({rate:.0f} MiB/s; hashlib loop {ref:.3f} s)")
        print(f"two files, 2 threads: {two:.3f} s")
        print(f"ratio two/one:       {two / one:.2f}")


if __name__ == "__main__":
    main()
