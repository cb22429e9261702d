"""Mirror a directory the way a user's job does, against a local stand-in of the service.

    python examples/sync.py [DIR] [--road tiered|legacy] [--runs 2] [--cache-dir DIR] [--outputs DIR]

Starts the loopback service double from tests/support on 127.0.0.1, builds the manifest of
DIR (default: the current directory), uploads it with a progress bar and prints a summary.
The first run starts cold: the hash cache is a new temporary directory, removed at the end,
unless --cache-dir names one (BRIVEL_CACHE_DIR is not used). The second run of the same
directory shows the hash cache at work: unchanged files are not read again, and the service
already holds every blob, so nothing is sent. What was hashed is told by the hash cache
itself, before and after each build.

After each upload the double plays the finished job: it serves a few outputs (a file and a
zipped directory), which download_outputs brings back, verified and unpacked, with a progress
bar, into --outputs (default: a new directory under the system's temporary directory, which
is kept); the summary lists them and says where they are.
"""

import argparse
import contextlib
import hashlib
import io
import json
import os
import sys
import tempfile
import threading
import time
import zipfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))

from support.cloud import FakeCloud  # noqa: E402
from tqdm import tqdm  # noqa: E402

import brivel.workspace as ws  # noqa: E402


def cache_entries(cache_dir):
    """What the hash cache holds: each file's local path with its hash and stat signature, as
    the library wrote them to the JSON documents in the cache directory's "hashcache"."""
    entries = {}
    for doc in sorted((Path(cache_dir) / "hashcache").glob("*.json")):
        try:
            entries.update(json.loads(doc.read_text(encoding="utf-8")).get("entries", {}))
        except (OSError, ValueError, AttributeError):
            pass  # a damaged document counts as an empty cache, as for the library
    return entries


class LazyBar:
    """An on_file callback drawing a progress bar, made at the first report: the callbacks
    come from worker threads, and only they know the total. It counts the reports."""

    def __init__(self, desc, unit):
        self.desc, self.unit = desc, unit
        self.bar = None
        self.count = 0
        self.lock = threading.Lock()

    def __call__(self, item, done, total):
        with self.lock:
            if self.bar is None:
                self.bar = tqdm(total=total, unit=self.unit, desc=self.desc, leave=False)
            self.bar.update(1)
            self.count += 1

    def close(self):
        if self.bar is not None:
            self.bar.close()


def sync_once(cloud, root, job, road, cache_dir):
    before = cache_entries(cache_dir)
    started = time.perf_counter()
    built = ws.build_manifest(ws.Workspace(root=root))
    built_at = time.perf_counter()
    after = cache_entries(cache_dir)
    # A file came from the cache when its entry was there already and is unchanged.
    hashed = sum(1 for f in built.files
                 if before.get(str(f.local_path)) is None
                 or before[str(f.local_path)] != after.get(str(f.local_path)))

    bar = LazyBar(f"upload {job}", "blob")
    with ws.WorkspaceClient(cloud.base, cloud.api_key) as client:
        try:
            ws.upload_workspace(job, built, client, on_file=bar)
        finally:
            bar.close()
    done_at = time.perf_counter()

    blobs = len(built.unique_blobs())
    sent = bar.count  # one report per blob sent; the blobs the service holds are skipped
    print(f"{job}: {len(built.files)} files, {built.total_size_bytes} bytes, "
          f"{blobs} blobs: {sent} sent, {blobs - sent} skipped; "
          f"{hashed} files hashed, {len(built.files) - hashed} from the hash cache; "
          f"manifest {built_at - started:.2f} s, upload {done_at - built_at:.2f} s ({road} road)")


def job_outputs(cloud, job):
    """What the finished job left behind: a model file and a zipped results directory."""
    model = hashlib.sha256(job.encode()).digest() * (1 << 17)  # 4 MiB
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w", zipfile.ZIP_DEFLATED) as zf:
        zf.writestr("results/metrics.json", '{"loss": 0.031, "accuracy": 0.987}\n')
        zf.writestr("results/logs/train.log", "".join(f"epoch {i}: ok\n" for i in range(1, 11)))
        zf.writestr("results/plots/loss.csv", "".join(f"{i},{1 / i:.4f}\n" for i in range(1, 101)))
    cloud.outputs = []
    cloud.add_output(f"{job}-model", model, save_to="model.pt", relpath="model.pt")
    cloud.add_output(f"{job}-results", buf.getvalue(), save_to="results", relpath="results",
                     is_directory=True)


def fetch_outputs(cloud, job, out_dir):
    job_outputs(cloud, job)
    bar = LazyBar(f"outputs {job}", "output")
    started = time.perf_counter()
    with ws.WorkspaceClient(cloud.base, cloud.api_key) as client:
        try:
            placed = ws.download_outputs(job, client, output_dir=out_dir, on_file=bar)
        finally:
            bar.close()
    secs = time.perf_counter() - started
    shown = []
    for path in placed:
        if path.is_dir():
            files = [p for p in path.rglob("*") if p.is_file()]
            shown.append(f"{path.name}/ ({len(files)} files, {sum(p.stat().st_size for p in files)} bytes)")
        else:
            shown.append(f"{path.name} ({path.stat().st_size} bytes)")
    acked = "acknowledged" if job in cloud.acks else "not acknowledged"
    print(f"{job}: {len(placed)} outputs in {out_dir}: {', '.join(shown)}; "
          f"verified and {acked} in {secs:.2f} s")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("dir", nargs="?", default=".", help="directory to mirror (default: .)")
    parser.add_argument("--road", choices=("tiered", "legacy"), default="tiered",
                        help="small-file tier with presigning, or the legacy whole-file road")
    parser.add_argument("--runs", type=int, default=2, help="how many times to sync (default: 2)")
    parser.add_argument("--cache-dir", type=Path,
                        help="cache directory to use and keep (default: a new temporary one)")
    parser.add_argument("--outputs", type=Path,
                        help="where the outputs go (default: a new temporary directory, kept)")
    args = parser.parse_args()

    outputs = args.outputs or Path(tempfile.mkdtemp(prefix="brivel-sync-outputs-"))
    with contextlib.ExitStack() as stack:
        cache = args.cache_dir or stack.enter_context(tempfile.TemporaryDirectory(prefix="brivel-sync-cache-"))
        # The library reads the variable at each use: this run's builds use this cache only.
        os.environ["BRIVEL_CACHE_DIR"] = str(cache)
        with FakeCloud() as cloud:
            tiered = args.road == "tiered"
            # Files up to the module's multipart threshold go through the small-file tier.
            cloud.plan = lambda manifest, job: cloud.default_plan(
                manifest, job, protocol=2 if tiered else 1, multipart=tiered, presign=tiered,
                threshold=ws.MULTIPART_THRESHOLD_BYTES)
            for run in range(1, args.runs + 1):
                sync_once(cloud, Path(args.dir).resolve(), f"job-{run}", args.road, cache)
                fetch_outputs(cloud, f"job-{run}", outputs / f"job-{run}")
    print(f"outputs kept in {outputs}")


if __name__ == "__main__":
    main()
