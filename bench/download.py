"""Artifact download throughput, against curl on the same URLs, in the same run.

    python bench/download.py [--mib 1024] [--count 8] [--each-mib 128] [--runs 2]

The service double from tests/support serves the artifacts from a separate process on
127.0.0.1, so the server never competes with the client for the interpreter lock.

1. One artifact of --mib MiB: WorkspaceClient.download_artifact_to_file (in a fresh child
   interpreter, which also reports its peak resident memory growth) against `curl -o` of the
   same URL, and against the loop a user would write with httpx (stream, iter_bytes, write).
2. --count artifacts of --each-mib MiB: download_outputs (download, SHA-256 check, placement)
   against the sum of `curl -o` of each artifact and `sha256sum` over the files.
Each figure is the best of --runs.
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests"))

CHUNK = 1 << 20


def serve(sizes_mib):
    """Child mode: serve random artifacts of the given sizes; print the outputs manifest."""
    import hashlib

    from support.cloud import FakeCloud

    cloud = FakeCloud().start()
    for i, mib in enumerate(sizes_mib):
        data = b"".join(os.urandom(CHUNK) for _ in range(mib))
        cloud.add_output(f"art{i}", data, save_to=f"art{i}.bin", relpath=f"art{i}.bin",
                         sha256=hashlib.sha256(data).hexdigest())
        del data
    print(json.dumps({"base": cloud.base, "key": cloud.api_key, "outputs": cloud.outputs}), flush=True)
    sys.stdin.read()  # until the parent closes the pipe
    cloud.stop()


class Server:
    def __init__(self, sizes_mib):
        self.proc = subprocess.Popen([sys.executable, __file__, "--serve", *map(str, sizes_mib)],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        info = json.loads(self.proc.stdout.readline())
        self.base, self.key, self.outputs = info["base"], info["key"], info["outputs"]

    def close(self):
        self.proc.stdin.close()
        self.proc.wait(30)


CHILD = r"""
import resource, sys, time
from pathlib import Path
import brivel.workspace as ws
url, dest = sys.argv[1], Path(sys.argv[2])
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
with ws.WorkspaceClient("http://127.0.0.1:9", "unused", timeout=120) as wc:
    t0 = time.perf_counter()
    wc.download_artifact_to_file(url, dest)
    secs = time.perf_counter() - t0
grown = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before
print(secs, grown)
"""

PLAIN = r"""
import sys, time, httpx
url, dest = sys.argv[1], sys.argv[2]
with httpx.Client(timeout=120) as c:
    t0 = time.perf_counter()
    with c.stream("GET", url) as r, open(dest, "wb") as f:
        for chunk in r.iter_bytes(8 << 20):
            f.write(chunk)
    print(time.perf_counter() - t0)
"""


def timed_cmd(cmd):
    t0 = time.perf_counter()
    subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL)
    return time.perf_counter() - t0


def fresh(path):
    if path.exists():
        path.unlink()
    return path


def single(args, tmp):
    server = Server([args.mib])
    url = server.outputs[0]["download_url"]
    mb = args.mib * CHUNK / 1e6
    best = {"curl": 1e9, "httpx loop": 1e9, "brivel": 1e9}
    rss = []
    try:
        for _ in range(args.runs):
            best["curl"] = min(best["curl"], timed_cmd(["curl", "-s", "-f", "-o", str(fresh(tmp / "c.bin")), url]))
            out = subprocess.run([sys.executable, "-c", PLAIN, url, str(fresh(tmp / "p.bin"))],
                                 check=True, capture_output=True, text=True).stdout
            best["httpx loop"] = min(best["httpx loop"], float(out))
            out = subprocess.run([sys.executable, "-c", CHILD, url, str(fresh(tmp / "b.bin"))],
                                 check=True, capture_output=True, text=True).stdout.split()
            best["brivel"] = min(best["brivel"], float(out[0]))
            rss.append(int(out[1]))
        fresh(tmp / "c.bin"), fresh(tmp / "p.bin"), fresh(tmp / "b.bin")
    finally:
        server.close()
    print(f"1. one artifact of {args.mib} MiB from a loopback server (best of {args.runs})")
    for name, secs in best.items():
        print(f"   {name:28s} {mb / secs:8.1f} MB/s  {secs:6.2f} s")
    print(f"   download_artifact_to_file / curl: {best['curl'] / best['brivel']:.2f}x (goal >= 0.8x)")
    print(f"   peak RSS growth of the download: {max(rss) / 1024:.1f} MiB (goal < 64 MiB)")


def outputs(args, tmp):
    import brivel.workspace as ws

    server = Server([args.each_mib] * args.count)
    best_ours = best_base = 1e9
    try:
        for _ in range(args.runs):
            out = tmp / "ours"
            with ws.WorkspaceClient(server.base, server.key, timeout=120) as wc:
                t0 = time.perf_counter()
                placed = ws.download_outputs("job", wc, output_dir=out)
                best_ours = min(best_ours, time.perf_counter() - t0)
            assert len(placed) == args.count
            for p in placed:
                p.unlink()
            files = [fresh(tmp / f"curl{i}.bin") for i in range(args.count)]
            base = sum(timed_cmd(["curl", "-s", "-f", "-o", str(f), o["download_url"]])
                       for f, o in zip(files, server.outputs))
            base += timed_cmd(["sha256sum", *map(str, files)])
            best_base = min(best_base, base)
            for f in files:
                f.unlink()
    finally:
        server.close()
    total = args.count * args.each_mib * CHUNK / 1e6
    print(f"2. download_outputs of {args.count} x {args.each_mib} MiB (best of {args.runs})")
    print(f"   download_outputs (download, SHA-256, placement)  {best_ours:6.2f} s  {total / best_ours:8.1f} MB/s")
    print(f"   sum of curl -o and sha256sum                      {best_base:6.2f} s  {total / best_base:8.1f} MB/s")
    print(f"   speed-up against the baseline: {best_base / best_ours:.2f}x (goal >= 1.0x)")


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--serve":
        return serve([int(x) for x in sys.argv[2:]])
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--mib", type=int, default=1024)
    ap.add_argument("--count", type=int, default=8)
    ap.add_argument("--each-mib", type=int, default=128)
    ap.add_argument("--runs", type=int, default=2)
    args = ap.parse_args()
    with tempfile.TemporaryDirectory(prefix="brivel-bench-") as tmp:
        single(args, Path(tmp))
        outputs(args, Path(tmp))


if __name__ == "__main__":
    main()
