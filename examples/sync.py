"""Mirror a directory the way a user's job does, against a local stand-in of the service.

    python examples/sync.py [DIR] [--road tiered|legacy] [--runs 2]

Starts the loopback service double from tests/support on 127.0.0.1, builds the manifest of
DIR (default: the current directory), uploads it with a progress bar and prints a summary.
The second run of the same directory shows the hash cache at work: unchanged files are not
read again, and the service already holds every blob, so nothing is sent.
"""

import argparse
import os
import sys
import tempfile
import threading
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))

from support.cloud import FakeCloud  # noqa: E402
from tqdm import tqdm  # noqa: E402

import brivel.workspace as ws  # noqa: E402


def count_hashes():
    """Counts the files that are really read, by wrapping the module's hash function."""
    real = ws._sha256_file
    calls = [0]

    def counting(path):
        calls[0] += 1
        return real(path)

    ws._sha256_file = counting
    return calls, lambda: setattr(ws, "_sha256_file", real)


def sync_once(cloud, root, job, road):
    calls, restore = count_hashes()
    started = time.perf_counter()
    try:
        built = ws.build_manifest(ws.Workspace(root=root))
    finally:
        restore()
    built_at = time.perf_counter()

    seq_before = len(cloud.requests)
    bar = None
    bar_lock = threading.Lock()

    def on_file(mf, done, total):
        # Called from the upload's worker threads; only there is the total known.
        nonlocal bar
        with bar_lock:
            if bar is None:
                bar = tqdm(total=total, unit="blob", desc=f"upload {job}", leave=False)
            bar.update(1)

    with ws.WorkspaceClient(cloud.base, cloud.api_key) as client:
        try:
            ws.upload_workspace(job, built, client, on_file=on_file)
        finally:
            if bar is not None:
                bar.close()
    done_at = time.perf_counter()

    blobs = len(built.unique_blobs())
    sent = len({r.params["sha"] for r in cloud.requests_for("blob_put")
                if r.seq > seq_before and r.status == 200})
    hashed = calls[0]
    print(f"{job}: {len(built.files)} files, {built.total_size_bytes} bytes, "
          f"{blobs} blobs: {sent} sent, {blobs - sent} skipped; "
          f"{hashed} files hashed, {len(built.files) - hashed} from the hash cache; "
          f"manifest {built_at - started:.2f} s, upload {done_at - built_at:.2f} s ({road} road)")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("dir", nargs="?", default=".", help="directory to mirror (default: .)")
    parser.add_argument("--road", choices=("tiered", "legacy"), default="tiered",
                        help="small-file tier with presigning, or the legacy whole-file road")
    parser.add_argument("--runs", type=int, default=2, help="how many times to sync (default: 2)")
    args = parser.parse_args()

    # A private hash cache, so the first run starts cold and the demo leaves nothing behind.
    with tempfile.TemporaryDirectory(prefix="brivel-sync-") as cache:
        os.environ.setdefault("BRIVEL_CACHE_DIR", cache)
        with FakeCloud() as cloud:
            tiered = args.road == "tiered"
            # Files up to the module's multipart threshold go through the small-file tier.
            cloud.plan = lambda manifest, job: cloud.default_plan(
                manifest, job, protocol=2 if tiered else 1, multipart=tiered, presign=tiered,
                threshold=ws.MULTIPART_THRESHOLD_BYTES)
            for run in range(1, args.runs + 1):
                sync_once(cloud, Path(args.dir).resolve(), f"job-{run}", args.road)


if __name__ == "__main__":
    main()
