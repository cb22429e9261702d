"""Upload throughput and memory of a large file: multipart and single PUT against curl.

    python bench/upload.py [--mib 1024] [--part-mib 16] [--rounds 2]

One loopback sink, in its own process, serves the multipart job-API endpoints and takes
every PUT, discarding the body as fast as it can (recv_into a reused buffer, no hashing,
an ETag that the client cannot and need not verify). In the same run, the same file goes:

* ``curl -T`` to the sink (the plain tool a user would reach for: one PUT, C all the way);
* ``WorkspaceClient.upload_blob_multipart`` with ``--part-mib`` parts;
* ``WorkspaceClient.upload_blob_single``: one streamed PUT;
* raw ``os.sendfile`` PUTs on four connections: the sink's own ceiling;
* ``hashlib.md5`` over the file on one thread: the ETag check hashes every part with MD5,
  which bounds the multipart rate where CPUs are scarce.

Each client runs in a fresh process, so its peak resident memory above the start
(ru_maxrss minus the RSS just before the upload) is its own. Every figure is reported next
to curl's, measured against the same sink in the same run; the best of ``--rounds`` rounds
is kept for every contender alike.
"""

from __future__ import annotations

import argparse
import http.server
import json
import os
import socket
import subprocess
import sys
import tempfile
import threading
import time

MIB = 1 << 20


# ----------------------------------------------------------------------------- the sink


class Sink(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    disable_nagle_algorithm = True
    stats = {"bytes": 0, "inflight": 0, "peak_inflight": 0, "first": None, "last": None}
    lock = threading.Lock()

    def log_message(self, *args):
        pass

    def reply(self, status=200, body=b"", headers=()):
        self.send_response(status)
        for k, v in headers:
            self.send_header(k, v)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if body:
            self.wfile.write(body)

    def do_PUT(self):
        left = int(self.headers["Content-Length"])
        view = memoryview(bytearray(4 * MIB))
        with self.lock:
            st = self.stats
            st["inflight"] += 1
            st["peak_inflight"] = max(st["peak_inflight"], st["inflight"])
            st["first"] = st["first"] or time.perf_counter()
        got = 0
        while left:
            n = self.rfile.readinto(view[:min(left, len(view))])
            if not n:
                break
            left -= n
            got += n
        with self.lock:
            st["bytes"] += got
            st["inflight"] -= 1
            st["last"] = time.perf_counter()
        self.reply(headers=[("ETag", '"sink-%d"' % got)])

    def do_POST(self):
        body = json.loads(self.rfile.read(int(self.headers.get("Content-Length") or 0)) or b"null")
        path = self.path
        if path == "/stats":
            with self.lock:
                out = dict(self.stats)
                self.stats.update(bytes=0, peak_inflight=0, first=None, last=None)
            return self.reply(body=json.dumps(out).encode())
        if path.endswith("/create"):
            return self.reply(body=b'{"upload_id": "bench"}')
        if path.endswith("/presign"):
            base = "http://%s:%d" % self.server.server_address[:2]
            urls = {str(pn): f"{base}/store/part/{pn}" for pn in body["part_numbers"]}
            return self.reply(body=json.dumps({"urls": urls}).encode())
        if path.endswith("/complete"):
            return self.reply(body=b"{}")
        return self.reply(204)


def serve(port_file: str) -> None:
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Sink)
    server.daemon_threads = True
    server.request_queue_size = 256
    with open(port_file, "w") as f:
        f.write(str(server.server_port))
    server.serve_forever()


def sink_stats(base: str) -> dict:
    import httpx
    return httpx.post(base + "/stats", content=b"{}").json()


# ---------------------------------------------------------------------- the contenders


CHILD = r"""
import json, os, resource, sys, time
from pathlib import Path
cfg = json.loads(sys.argv[1])
import brivel.workspace as ws
import brivel._flowtune as ft
depth = [0]
class Tracked(ft.DepthController):  # records the deepest target the engine was given
    def target(self):
        t = super().target()
        depth[0] = max(depth[0], t)
        return t
ft.DepthController = Tracked
def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
client = ws.WorkspaceClient(cfg["base"], "k", timeout=600)
client._transfer_http_client(); client._api_http_client()
start = rss()
t0 = time.perf_counter()
if cfg["mode"] == "multipart":
    root = "/v1/jobs/bench/workspace/multipart"
    eps = {k: f"{root}/{v}" for k, v in (("create_endpoint", "create"), ("presign_parts_endpoint", "presign"),
                                         ("complete_endpoint", "complete"), ("abort_endpoint", "abort"))}
    client.upload_blob_multipart(cfg["sha"], Path(cfg["path"]), cfg["size"], cfg["part"], eps)
else:
    client.upload_blob_single(cfg["base"] + "/store/blob", cfg["path"])
secs = time.perf_counter() - t0
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
print(json.dumps({"secs": secs, "peak_above_start": peak - start, "depth": depth[0]}))
"""


def run_child(mode: str, base: str, path: str, size: int, part: int, sha: str, cache: str) -> dict:
    cfg = json.dumps({"mode": mode, "base": base, "path": path, "size": size, "part": part, "sha": sha})
    env = {**os.environ, "BRIVEL_CACHE_DIR": cache}
    out = subprocess.run([sys.executable, "-c", CHILD, cfg], env=env, capture_output=True, text=True,
                         check=True, timeout=900)
    return json.loads(out.stdout.strip().splitlines()[-1])


def run_curl(base: str, path: str) -> dict:
    t0 = time.perf_counter()
    proc = subprocess.Popen(["curl", "-sS", "-T", path, base + "/store/curl", "-o", os.devnull])
    _, status, usage = os.wait4(proc.pid, 0)
    secs = time.perf_counter() - t0
    proc.returncode = os.waitstatus_to_exitcode(status)
    if proc.returncode:
        raise SystemExit(f"curl failed with {proc.returncode}")
    return {"secs": secs, "peak_rss": usage.ru_maxrss * 1024}


def run_sendfile(base: str, path: str, size: int, conns: int = 4) -> dict:
    """The sink's ceiling: the file's pages handed to the kernel on `conns` connections."""
    host, port = base.split("//")[1].split(":")
    share = size // conns

    def one(i):
        length = share if i < conns - 1 else size - share * (conns - 1)
        with socket.create_connection((host, int(port))) as s, open(path, "rb") as f:
            s.sendall(f"PUT /store/raw{i} HTTP/1.1\r\nHost: x\r\nContent-Length: {length}\r\n\r\n".encode())
            sent = 0
            while sent < length:
                sent += os.sendfile(s.fileno(), f.fileno(), i * share + sent, length - sent)
            s.recv(4096)
    threads = [threading.Thread(target=one, args=(i,)) for i in range(conns)]
    t0 = time.perf_counter()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return {"secs": time.perf_counter() - t0}


def run_md5(path: str) -> float:
    import hashlib
    t0 = time.perf_counter()
    h = hashlib.md5()
    with open(path, "rb") as f:
        while chunk := f.read(16 * MIB):
            h.update(chunk)
    return time.perf_counter() - t0


# ---------------------------------------------------------------------------------- main


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--mib", type=int, default=1024)
    ap.add_argument("--part-mib", type=int, default=16)
    ap.add_argument("--rounds", type=int, default=2)
    ap.add_argument("--serve", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.serve:
        return serve(args.serve)

    with tempfile.TemporaryDirectory() as tmp:
        port_file = os.path.join(tmp, "port")
        sink = subprocess.Popen([sys.executable, __file__, "--serve", port_file])
        try:
            deadline = time.monotonic() + 30
            while not (os.path.exists(port_file) and open(port_file).read()):
                if time.monotonic() > deadline:
                    raise SystemExit("sink did not start")
                time.sleep(0.05)
            base = "http://127.0.0.1:" + open(port_file).read()
            path = os.path.join(tmp, "big.bin")
            size = args.mib * MIB
            with open(path, "wb") as f:
                for _ in range(args.mib):
                    f.write(os.urandom(MIB))
            import brivel.workspace as ws  # builds the module first, outside every timing
            sha = ws._sha256_file(path)[0]  # also warms the page cache
            cache = os.path.join(tmp, "cache")
            part = args.part_mib * MIB

            best: dict[str, dict] = {}
            sink_seen: dict[str, dict] = {}

            def keep(name, result):
                stats = sink_stats(base)
                assert stats["bytes"] == size, (name, stats["bytes"], size)
                if name not in best or result["secs"] < best[name]["secs"]:
                    best[name] = result
                    sink_seen[name] = stats

            for _ in range(args.rounds):
                keep("curl -T", run_curl(base, path))
                keep("multipart", run_child("multipart", base, path, size, part, sha, cache))
                keep("single PUT", run_child("single", base, path, size, part, sha, cache))
                keep("sink ceiling (sendfile x4)", run_sendfile(base, path, size))
                md5_secs = run_md5(path)
                if "md5" not in best or md5_secs < best["md5"]:
                    best["md5"] = md5_secs
        finally:
            sink.kill()
            sink.wait()

    mb = size / 1e6
    curl = mb / best["curl -T"]["secs"]
    print(f"file {args.mib} MiB, parts {args.part_mib} MiB, best of {args.rounds} rounds, "
          f"{os.cpu_count()} CPUs shared by client and sink")
    print(f"{'contender':28s} {'MB/s':>8s} {'vs curl':>8s} {'peak RSS above start':>22s} {'sink: PUTs at once':>19s}")
    md5_secs = best.pop("md5")
    for name, result in best.items():
        rate = mb / result["secs"]
        if "peak_above_start" in result:
            mem = f"{result['peak_above_start'] / MIB:9.0f} MiB"
        elif "peak_rss" in result:
            mem = f"{result['peak_rss'] / MIB:9.0f} MiB (whole)"
        else:
            mem = "-"
        print(f"{name:28s} {rate:8.0f} {rate / curl:7.2f}x {mem:>22s} {sink_seen[name]['peak_inflight']:>19d}")
    print(f"{'md5 of the file, one thread':28s} {mb / md5_secs:8.0f} {mb / md5_secs / curl:7.2f}x")
    mp = best["multipart"]
    depth = mp["depth"]
    bound = depth * part + 64 * MIB
    print(f"multipart: adaptive depth peaked at {depth} parts; bound (depth x part + 64 MiB) "
          f"{bound / MIB:.0f} MiB, measured {mp['peak_above_start'] / MIB:.0f} MiB above start")


if __name__ == "__main__":
    main()
