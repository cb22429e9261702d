"""Offloading one large bytes argument through the service double on loopback.

    python bench/offload.py [--mib 256] [--repeat 2]

Each case runs in a fresh interpreter so that its peak resident memory is its own; the
double runs in another process, so the bytes it stores are not counted. Reported per case:
the best time of `--repeat` runs against the same run's baseline (cloudpickle.dumps +
hashlib.sha256 + one plain httpx.put of the same bytes to a presigned URL of the double;
"chunked" is the same with the body handed to httpx in 1 MiB slices, the best plain httpx does),
and the peak resident memory above the payload while the case ran.
"""

import argparse
import json
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
TESTS = os.path.join(os.path.dirname(HERE), "tests")
MIB = 1 << 20


def rss_kib(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(field)


def reset_peak():
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # resets VmHWM to the current resident size


def worker(mode, base, mib):
    import cloudpickle
    import hashlib
    import httpx

    import brivel.spillbox as sb

    payload = os.urandom(mib * MIB)
    timings = {}
    if mode in ("baseline", "chunked"):
        put_url = httpx.post(f"{base}/v1/data/upload-init", headers={"Authorization": "Bearer test-key"}).json()["put_url"]
        reset_peak()
        before = rss_kib("VmRSS")
        t0 = time.perf_counter()
        serialized = cloudpickle.dumps(payload)
        t1 = time.perf_counter()
        hashlib.sha256(serialized).hexdigest()
        t2 = time.perf_counter()
        body = serialized
        if mode == "chunked":  # the best plain httpx does: 1 MiB slices, no re-slicing of the rest
            view = memoryview(serialized)
            body = (view[i:i + MIB] for i in range(0, len(view), MIB))
        httpx.put(put_url, content=body, headers={"Content-Length": str(len(serialized))},
                  timeout=600).raise_for_status()
        t3 = time.perf_counter()
        timings = {"dumps": t1 - t0, "sha256": t2 - t1, "put": t3 - t2}
        secs = t3 - t0
    else:
        if mode == "direct":
            sb._DATA_MULTIPART_THRESHOLD = 1 << 62
        off = sb.DataOffloader(base, "test-key")
        reset_peak()
        before = rss_kib("VmRSS")
        t0 = time.perf_counter()
        _, args, _, keys = off.offload_large_args(len, (payload,), {})
        secs = time.perf_counter() - t0
        assert keys and args == (None,), "not offloaded"
    extra = (rss_kib("VmHWM") - before) / 1024
    print(json.dumps({"secs": secs, "extra_mib": extra, **timings}))


def run_case(mode, base, mib):
    proc = subprocess.run([sys.executable, __file__, "--worker", mode, "--base", base, "--mib", str(mib)],
                          capture_output=True, text=True, timeout=900)
    if proc.returncode:
        raise SystemExit(proc.stderr)
    return json.loads(proc.stdout)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--mib", type=int, default=256)
    ap.add_argument("--repeat", type=int, default=2)
    ap.add_argument("--worker")
    ap.add_argument("--base")
    args = ap.parse_args()
    if args.worker:
        return worker(args.worker, args.base, args.mib)

    server = subprocess.Popen(
        [sys.executable, "-c",
         "import sys; sys.path.insert(0, %r)\n"
         "from support.cloud import FakeCloud\n"
         "cloud = FakeCloud().start(); print(cloud.base, flush=True)\n"
         "sys.stdin.read()\n" % TESTS],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        base = server.stdout.readline().strip()
        print(f"payload: {args.mib} MiB bytes; best of {args.repeat}; parts of 64 MiB, 4 in flight")
        results = {}
        for mode in ("baseline", "chunked", "direct", "multipart"):
            runs = [run_case(mode, base, args.mib) for _ in range(args.repeat)]
            results[mode] = min(runs, key=lambda r: r["secs"])
        b, c = results["baseline"], results["chunked"]
        for name, r in (("baseline", b), ("chunked", c)):
            print(f"{name:9s} {r['secs']:6.2f} s  (dumps {r['dumps']:.2f} + sha256 {r['sha256']:.2f} + "
                  f"httpx.put {r['put']:.2f})  peak RSS above payload {r['extra_mib']:6.0f} MiB")
        for mode in ("direct", "multipart"):
            r = results[mode]
            print(f"{mode:9s} {r['secs']:6.2f} s  = {r['secs'] / b['secs']:.2f}x baseline (goal <= 1.2x), "
                  f"{r['secs'] / c['secs']:.2f}x chunked  peak RSS above payload {r['extra_mib']:6.0f} MiB")
        print(f"memory goal: one pickled copy ({args.mib} MiB) + in-flight parts "
              f"(direct 0, multipart up to 4 x 64 MiB) + 64 MiB")
    finally:
        server.stdin.close()
        server.wait(timeout=30)


if __name__ == "__main__":
    main()
