"""Throughput of the streamed single PUT, against a local sink that discards the body.

    python bench/single_put.py [--mib 256] [--threads 4]

Compares WorkspaceClient.upload_blob_single (file read natively, GIL released per chunk)
with httpx streaming an open Python file object, for one upload and for several at once.
"""

import argparse
import http.server
import os
import tempfile
import threading
import time

import httpx

import brivel.workspace as ws


class Sink(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    buf = bytearray(1 << 20)

    def log_message(self, *args):
        pass

    def do_PUT(self):
        left = int(self.headers["Content-Length"])
        view = memoryview(bytearray(1 << 20))
        while left:
            n = self.rfile.readinto(view[:min(left, len(view))])
            if not n:
                break
            left -= n
        self.send_response(200)
        self.send_header("Content-Length", "0")
        self.end_headers()


def timed(fn, jobs):
    threads = [threading.Thread(target=fn, args=(i,)) for i in range(jobs)]
    t0 = time.perf_counter()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return time.perf_counter() - t0


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--mib", type=int, default=256)
    ap.add_argument("--threads", type=int, default=4)
    args = ap.parse_args()
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Sink)
    server.daemon_threads = True
    threading.Thread(target=server.serve_forever, daemon=True).start()
    url = f"http://127.0.0.1:{server.server_port}/store/x"

    with tempfile.TemporaryDirectory() as tmp:
        paths = []
        for i in range(args.threads):
            p = os.path.join(tmp, f"f{i}")
            with open(p, "wb") as f:
                for _ in range(args.mib):
                    f.write(os.urandom(1 << 20))
            paths.append(p)

        client = ws.WorkspaceClient("http://127.0.0.1:9", "k")
        plain = httpx.Client(timeout=60)

        def native(i):
            client.upload_blob_single(url, paths[i])

        def python_file(i):
            with open(paths[i], "rb") as f:
                plain.put(url, content=f, headers={"Content-Length": str(os.path.getsize(paths[i]))})

        for jobs in (1, args.threads):
            for name, fn in (("native stream", native), ("python file", python_file)):
                fn(0)  # warm the connection and the page cache
                secs = timed(fn, jobs)
                print(f"{name:14s} {jobs} upload(s) x {args.mib} MiB: {jobs * args.mib / secs:8.1f} MiB/s")
        client.close()
        plain.close()
    server.shutdown()


if __name__ == "__main__":
    main()
