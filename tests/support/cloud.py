"""Loopback double of the cloud service.

One threaded HTTP/1.1 server on 127.0.0.1 serves the job API, the data API, the
pre-warm endpoint and a presigned-URL object store. It logs every request, measures
concurrency, checks credentials and injects faults. Standard library only, so it does not
depend on the HTTP client under test.

Locking: one RLock (with a Condition on it) guards state and log. It is never held while
waiting on a client or writing a reply, and every wait is an Event/Condition wait, so tests
are free to patch ``time.sleep``.
"""

from __future__ import annotations

import base64
import functools
import hashlib
import io
import json as jsonlib
import re
import secrets
import socket
import socketserver
import sys
import threading
import time
import traceback
import weakref
import zipfile
from collections import Counter, defaultdict
from dataclasses import dataclass, field, replace
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any, Callable, Iterable, Mapping
from urllib.parse import parse_qsl, quote, unquote, urlsplit

__all__ = [
    "EXPIRY_PRESETS", "ETAG_MODES", "FakeCloud", "Gate", "Headers", "Injection", "NOT_JSON",
    "Part", "Raw", "Reply", "Request", "ROUTE_NAMES", "SERVER_THREADS", "StoreError", "UNSET",
    "Upload",
]


class _Sentinel:
    def __init__(self, name: str):
        self._name = name

    def __repr__(self) -> str:
        return self._name


UNSET = _Sentinel("UNSET")        # "no value given", where None is a real value (JSON null)
NOT_JSON = _Sentinel("NOT_JSON")  # request body that is empty or does not parse

# Threads that belong to a FakeCloud; thread-leak helpers skip them.
SERVER_THREADS: "weakref.WeakSet[threading.Thread]" = weakref.WeakSet()


class Raw(bytes):
    """A value sent verbatim instead of as JSON (e.g. ``cloud.plan = Raw(b"<html>")``)."""


class StoreError(Exception):
    """A completion rejected by the store: ``code`` goes into the 400 reply."""

    def __init__(self, code: str, detail: str = ""):
        super().__init__(f"{code}: {detail}")
        self.code = code
        self.detail = detail


# ---------------------------------------------------------------------------- records


class Headers(Mapping):
    """Case-insensitive, order-keeping view of header pairs."""

    def __init__(self, items: Iterable[tuple[str, str]] = ()):
        self._items = [(str(k), str(v)) for k, v in items]

    def __getitem__(self, name: str) -> str:
        low = name.lower()
        for key, value in self._items:
            if key.lower() == low:
                return value
        raise KeyError(name)

    def __iter__(self):
        return (key for key, _ in self._items)

    def __len__(self) -> int:
        return len(self._items)

    def __repr__(self) -> str:
        return f"Headers({self._items!r})"


@dataclass(frozen=True, eq=False)
class Request:
    """One logged request. Replaced (never mutated) once its reply is done."""

    seq: int
    conn: int
    route: str
    params: Mapping[str, str]
    method: str
    path: str
    raw_path: str
    query: Mapping[str, str]
    headers: Headers
    body: bytes = b""
    json: Any = NOT_JSON
    chunked: bool = False
    status: int | None = None
    injected: "Injection | None" = None
    t_start: float = 0.0
    t_end: float | None = None
    thread: str = ""

    @property
    def done(self) -> bool:
        return self.t_end is not None


@dataclass(frozen=True)
class Reply:
    """What a handler answers. ``json=None`` sends ``null``; ``body`` is sent verbatim."""

    status: int = 200
    json: Any = UNSET
    body: bytes | str | None = None
    headers: Mapping[str, str] | None = None

    def replace(self, **changes) -> "Reply":
        return replace(self, **changes)

    def with_headers(self, extra: Mapping[str, str]) -> "Reply":
        return self.replace(headers={**(self.headers or {}), **extra})

    def encode(self) -> tuple[int, list[tuple[str, str]], bytes]:
        headers = dict(self.headers or {})
        if self.json is not UNSET:
            payload, ctype = jsonlib.dumps(self.json).encode(), "application/json"
        else:
            payload = self.body.encode() if isinstance(self.body, str) else (self.body or b"")
            ctype = "application/octet-stream"
        if self.status in (204, 304) or self.status < 200:
            payload = b""
        elif payload and not any(k.lower() == "content-type" for k in headers):
            headers["Content-Type"] = ctype
        return self.status, list(headers.items()), payload


@dataclass(frozen=True)
class Part:
    data: bytes
    checksum: str | None      # x-amz-checksum-sha256 the PUT carried
    etag_header: str | None   # ETag value the store sent; None when it sent no header

    @property
    def etag(self) -> str:
        """What a correct client hands back on completion: the sent value, edge quotes off."""
        return (self.etag_header or "").strip('"')


@dataclass
class Upload:
    id: str
    ns: str                   # "blob" (job API, key = sha) or "data" (data API, key = data key)
    key: str | None
    state: str = "open"       # open | completed | aborted | killed
    parts: dict[int, Part] = field(default_factory=dict)
    checksum: bool = False    # some part URL was presigned with a checksum

    @property
    def live(self) -> bool:
        return self.state in ("open", "completed")


def _xml(status: int, code: str, message: str | None = None, headers=None) -> Reply:
    msg = f"<Message>{message}</Message>" if message else ""
    return Reply(status, body=f"<Error><Code>{code}</Code>{msg}</Error>",
                 headers={"Content-Type": "application/xml", **(headers or {})})


def _b64sha(data: bytes) -> str:
    return base64.b64encode(hashlib.sha256(data).digest()).decode()


def _sha(data: bytes) -> str:
    return hashlib.sha256(data).hexdigest()


def _md5(data: bytes) -> str:
    return hashlib.md5(data).hexdigest()


# ------------------------------------------------------------------------------ routes

_JOB = r"/v1/jobs/(?P<job>.*)"  # greedy on purpose: empty ids and ids with "/" must route


@dataclass(frozen=True)
class _Route:
    name: str
    method: str
    pattern: re.Pattern
    auth: str  # "bearer": API key required; "presigned": none allowed; "fetch": none expected


# name, method, path pattern (anchored at both ends), auth
_ROUTE_TABLE = (
    ("manifest", "POST", _JOB + "/workspace/manifest", "bearer"),
    ("presign", "POST", _JOB + "/workspace/presign", "bearer"),
    ("mp_create", "POST", _JOB + "/workspace/multipart/create", "bearer"),
    ("mp_presign", "POST", _JOB + "/workspace/multipart/presign", "bearer"),
    ("mp_complete", "POST", _JOB + "/workspace/multipart/complete", "bearer"),
    ("mp_abort", "POST", _JOB + "/workspace/multipart/abort", "bearer"),
    ("uploads_complete", "POST", _JOB + "/workspace/uploads/complete", "bearer"),
    ("outputs_manifest", "GET", _JOB + "/outputs/manifest", "bearer"),
    ("outputs_ack", "POST", _JOB + "/outputs/ack", "bearer"),
    ("blob_put", "PUT", r"/store/blob/(?P<sha>[^/]+)", "presigned"),
    ("part_put", "PUT", r"/store/part/(?P<upload_id>[^/]+)/(?P<pn>[^/]+)", "presigned"),
    ("data_put", "PUT", r"/store/data/(?P<key>[^/]+)", "presigned"),
    ("obj_get", "GET", r"/store/obj/(?P<name>[^/]+)", "presigned"),
    ("data_get_redirected", "GET", r"/store/data/(?P<key>[^/]+)", "fetch"),
    ("data_upload", "POST", r"/v1/data/upload", "bearer"),
    ("data_init", "POST", r"/v1/data/upload-init", "bearer"),
    ("data_complete", "POST", r"/v1/data/upload-complete", "bearer"),
    ("data_mp_init", "POST", r"/v1/data/upload-init-multipart", "bearer"),
    ("data_mp_presign", "POST", r"/v1/data/upload-presign-parts", "bearer"),
    ("data_mp_complete", "POST", r"/v1/data/upload-complete-multipart", "bearer"),
    ("data_mp_abort", "POST", r"/v1/data/upload-abort-multipart", "bearer"),
    ("data_get", "GET", r"/v1/data/(?P<key>.+)", "fetch"),
    ("data_delete", "DELETE", r"/v1/data/(?P<key>.+)", "bearer"),
    ("prewarm", "POST", r"/v1/pre-warm", "bearer"),
)
_ROUTES = tuple(_Route(name, method, re.compile(pattern + "$"), auth)
                for name, method, pattern, auth in _ROUTE_TABLE)
_ROUTE_BY_NAME = {r.name: r for r in _ROUTES}
ROUTE_NAMES = frozenset(_ROUTE_BY_NAME) | {"unknown"}

# Store URL layout, the inverse of the store routes above.
_STORE_PATHS = {
    "blob_put": "/store/blob/{sha}",
    "part_put": "/store/part/{upload_id}/{pn}",
    "data_put": "/store/data/{key}",
    "obj_get": "/store/obj/{name}",
}

EXPIRY_PRESETS = {
    "expired": (403, "AccessDenied", "Request has expired"),
    "signature": (403, "SignatureDoesNotMatch", None),
    "authqp": (403, "AuthorizationQueryParametersError", None),
    "token": (400, "ExpiredToken", "The provided token has expired."),
    "authreq": (403, "AuthenticationRequired", None),
    "bare400": (400, "InvalidRequest", None),
    "denied": (403, "AccessDenied", "Access Denied"),
}


def _etag_header(mode: str, md5: str) -> tuple[str | None, str | None]:
    """(header name, value) the store sends for a part whose body has this MD5."""
    quoted = f'"{md5}"'
    table = {
        "md5": ("ETag", quoted),
        "upper": ("ETag", f'"{md5.upper()}"'),
        "bare": ("ETag", md5),
        "doubled": ("ETag", f'""{md5}""'),
        "weak": ("ETag", f"W/{quoted}"),
        "wrong": ("ETag", '"' + "0" * 32 + '"'),
        "multipart": ("ETag", f'"{md5}-3"'),
        "nonhex32": ("ETag", f'"g{md5[1:]}"'),
        "empty": ("ETag", '""'),
        "none": (None, None),
        "lowername": ("etag", quoted),
    }
    if mode not in table:
        raise ValueError(f"unknown etag mode {mode!r}")
    return table[mode]


ETAG_MODES = ("md5", "upper", "bare", "doubled", "weak", "wrong", "multipart", "nonhex32",
              "empty", "none", "lowername")


class _Fail(Exception):
    """Raised inside a handler to answer with ``reply`` right away."""

    def __init__(self, reply: Reply):
        self.reply = reply


def _not_found() -> Reply:
    return Reply(404, json={"detail": "not found"})


def _no_such_upload() -> Reply:
    return _xml(404, "NoSuchUpload")


def _obj(req: Request) -> dict:
    if not isinstance(req.json, dict):
        raise _Fail(Reply(400, json={"detail": "expected a JSON object"}))
    return req.json


# ---------------------------------------------------------------- injection and gates


class _Selector:
    """Route name (or path regex), optional method and predicate."""

    def __init__(self, route: str | None, method: str | None = None,
                 match: Callable[[Request], bool] | None = None):
        self.route = route
        self.regex = None if route is None or route in ROUTE_NAMES else re.compile(route)
        self.method = method.upper() if method else None
        self.match = match

    def __call__(self, req: Request) -> bool:
        if self.regex is not None:
            if not self.regex.search(req.path):
                return False
        elif self.route is not None and req.route != self.route:
            return False
        if self.method and req.method != self.method:
            return False
        return self.match is None or bool(self.match(req))


class Injection:
    """A fault for matching requests; see ``FakeCloud.inject``."""

    def __init__(self, cloud: "FakeCloud", selector: _Selector, *, times, after, status, json,
                 body, headers, delay, truncate, drop, effect, etag):
        if drop not in (False, True, "early"):
            raise ValueError("drop is False, True or 'early'")
        if etag is not None and not callable(etag):
            _etag_header(etag, "0" * 32)  # validates the name now rather than mid-request
        self._cloud = cloud
        self._selector = selector
        self.route = selector.route
        self.times, self.after = times, after
        self.status, self.json, self.body, self.headers = status, json, body, headers
        self.delay, self.truncate, self.drop, self.effect, self.etag = (
            delay, truncate, drop, effect, etag)
        self.seen = 0  # matching requests, including the skipped `after` ones
        self.hits = 0
        self._seqs: list[int] = []

    @property
    def finite(self) -> bool:
        return self.times is not None

    @property
    def has_reply(self) -> bool:
        return self.status is not None or self.json is not UNSET or self.body is not None

    @property
    def requests(self) -> list[Request]:
        """The requests this injection fired on, as finally logged."""
        return self._cloud._records(self._seqs)

    def reply(self) -> Reply:
        return Reply(self.status or 200, json=self.json, body=self.body)

    def _take(self, req: Request) -> bool:
        """Count a match; True when this one applies. Called under the cloud's lock."""
        if not self._selector(req):
            return False
        self.seen += 1
        if self.seen <= self.after or (self.times is not None and self.hits >= self.times):
            return False
        self.hits += 1
        self._seqs.append(req.seq)
        return True

    def __repr__(self) -> str:
        return f"<Injection {self.route!r} hits={self.hits} times={self.times} after={self.after}>"


class Gate:
    """Holds matching requests (body read) until released; see ``FakeCloud.hold``."""

    def __init__(self, cloud: "FakeCloud", selector: _Selector):
        self._cloud = cloud
        self._selector = selector
        self._seqs: list[int] = []
        self._permits = 0
        self._open = False
        self.waiting = 0

    @property
    def requests(self) -> list[Request]:
        return self._cloud._records(self._seqs)

    def arrived(self, n: int = 1, timeout: float = 5.0) -> bool:
        """True once ``n`` requests have reached the gate; False if fewer come in time."""
        with self._cloud._cond:
            return self._cloud._cond.wait_for(lambda: len(self._seqs) >= n, timeout)

    def release(self, n: int | None = None) -> None:
        """Let ``n`` more requests through (present or future), or open the gate for good."""
        with self._cloud._cond:
            if n is None:
                self._open = True
            else:
                self._permits += n
            self._cloud._cond.notify_all()

    def _hold(self, req: Request) -> bool:
        """Blocks the request's thread; False when the server stops meanwhile."""
        cond = self._cloud._cond
        stopping = self._cloud._stopping
        with cond:
            self._seqs.append(req.seq)
            self.waiting += 1
            cond.notify_all()
            try:
                cond.wait_for(lambda: self._open or self._permits > 0 or stopping.is_set())
            finally:
                self.waiting -= 1
            if stopping.is_set():
                return False
            if not self._open:
                self._permits -= 1
            return True

    def __enter__(self) -> "Gate":
        return self

    def __exit__(self, *exc) -> None:
        self.release()


@dataclass
class _Token:
    route: str
    params: dict
    expired: bool = False
    checksum: str | None = None


@dataclass
class _Outcome:
    reply: Reply | None               # None: close without a reply
    truncate: int | None = None
    injection: Injection | None = None


# ------------------------------------------------------------------------------ socket layer


class _Server(ThreadingHTTPServer):
    daemon_threads = True
    request_queue_size = 128  # the small-file fan-out connects dozens at once

    def __init__(self, cloud: "FakeCloud"):
        self.cloud = cloud
        super().__init__(("127.0.0.1", 0), _Handler)

    def server_bind(self):
        # HTTPServer.server_bind resolves the host name; stay off the resolver.
        socketserver.TCPServer.server_bind(self)
        self.server_name, self.server_port = self.server_address[:2]

    def process_request(self, request, client_address):
        thread = threading.Thread(target=self.process_request_thread,
                                  args=(request, client_address),
                                  name=f"fakecloud-{self.server_port}-conn", daemon=True)
        self.cloud._track(thread)
        thread.start()

    def handle_error(self, request, client_address):
        if not isinstance(sys.exc_info()[1], ConnectionError):  # the client went away
            self.cloud._server_error(None)


class _Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    timeout = 30  # idle keep-alive connections close after this
    disable_nagle_algorithm = True  # headers and body go out as two writes

    def setup(self):
        super().setup()
        self.conn_id = self.server.cloud._connected(self.connection)

    def finish(self):
        try:
            super().finish()
        except OSError:
            pass
        finally:
            self.server.cloud._disconnected(self.connection)

    def log_message(self, format, *args):
        pass

    def do_GET(self):
        self._exchange()

    do_POST = do_PUT = do_DELETE = do_HEAD = do_PATCH = do_OPTIONS = do_GET

    def _exchange(self) -> None:
        cloud = self.server.cloud
        words = self.requestline.split()
        path, _, qs = self.path.partition("?")
        name, params = cloud._match(self.command, path)
        head = Request(
            seq=0, conn=self.conn_id, route=name, params=params, method=self.command,
            path=path, raw_path=words[1] if len(words) > 1 else self.path,
            query=dict(parse_qsl(qs, keep_blank_values=True)),
            headers=Headers(self.headers.items()),
            chunked="chunked" in self.headers.get("Transfer-Encoding", "").lower(),
            t_start=time.monotonic(), thread=threading.current_thread().name)
        req = cloud._arrive(head)
        outcome = _Outcome(None)
        try:
            outcome = cloud._early(req) or self._read_and_serve(req)
        finally:
            # Logged before the reply goes out: once a client sees it, the log shows it.
            status = None if outcome.reply is None else outcome.reply.status
            cloud._depart(req, status, outcome.injection)
        if outcome.reply is None:
            self.close_connection = True
            return
        try:
            self._send(outcome)
        except OSError:  # a client that gave up (time-out tests)
            self.close_connection = True

    def _read_and_serve(self, req: Request) -> _Outcome:
        cloud = self.server.cloud
        try:
            body = self._read_body(req.chunked)
        except (OSError, ValueError):  # client vanished or sent bad framing
            return _Outcome(None)
        return cloud._serve(cloud._received(req, body))

    def _read_exact(self, n: int) -> bytes:
        data = self.rfile.read(n)
        if len(data) != n:
            raise ConnectionError("body cut short")
        return data

    def _read_body(self, chunked: bool) -> bytes:
        if not chunked:
            return self._read_exact(int(self.headers.get("Content-Length") or 0))
        chunks = []
        while True:
            size = int(self.rfile.readline(65537).split(b";")[0].strip(), 16)
            if size == 0:
                while self.rfile.readline(65537) not in (b"\r\n", b"\n", b""):
                    pass  # trailers
                return b"".join(chunks)
            chunks.append(self._read_exact(size))
            self.rfile.readline()

    def _send(self, outcome: _Outcome) -> None:
        status, headers, body = outcome.reply.encode()
        self.send_response(status)
        for name, value in headers:
            self.send_header(name, value)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body if outcome.truncate is None else body[:outcome.truncate])
        self.wfile.flush()
        if outcome.truncate is not None:
            self.close_connection = True


# ---------------------------------------------------------------------------- local store


class _LocalStore:
    """The double's own object store behind the /store routes. ``S3Backend`` (support.s3)
    offers the same methods on moto."""

    def __init__(self, cloud: "FakeCloud"):
        self.cloud = cloud

    def _dict(self, ns: str) -> dict:
        cloud = self.cloud
        return {"blob": cloud.objects, "data": cloud.data, "obj": cloud.artifacts}[ns]

    def put_url(self, ns: str, key: str) -> str:
        return self.cloud.put_url(key) if ns == "blob" else self.cloud.data_put_url(key)

    def get_url(self, ns: str, key: str) -> str:
        return self.cloud.get_url(key)

    def create_multipart(self, ns: str, key: str) -> str:
        return self.cloud._next_id("u" if ns == "blob" else "du")

    def part_url(self, ns, key, upload_id, pn, checksum=None) -> str:
        return self.cloud.part_url(upload_id, pn, checksum=checksum)

    def complete_multipart(self, ns, key, upload_id, parts, check) -> bytes:
        data = self.cloud._assemble(self.cloud.uploads[upload_id], parts)
        check(data)
        self.write(ns, key, data)
        return data

    def abort_multipart(self, ns, key, upload_id) -> None:
        pass

    def exists(self, ns: str, key: str) -> bool:
        return key in self._dict(ns)

    def read(self, ns: str, key: str) -> bytes | None:
        return self._dict(ns).get(key)

    def write(self, ns: str, key: str, data: bytes) -> None:
        self._dict(ns)[key] = data

    def delete(self, ns: str, key: str) -> None:
        self._dict(ns).pop(key, None)


# ---------------------------------------------------------------------------------- the double


class FakeCloud:
    """Threaded loopback double of the cloud service. Use as a context manager or
    ``start()``/``stop()``; ``base`` is ``http://127.0.0.1:PORT`` without a trailing "/"."""

    def __init__(self, api_key: str = "test-key", *, etag_mode="md5", strict_content=True,
                 strict_complete=True, expiry_reply="expired", range_mode="honour",
                 redirect_data=False, store=None):
        self.api_key = api_key
        self.etag_mode = etag_mode
        self.strict_content = strict_content
        self.strict_complete = strict_complete
        self.expiry_reply = expiry_reply
        self.range_mode = range_mode
        self.redirect_data = redirect_data
        self.store = store
        self._backend = store if store is not None else _LocalStore(self)
        # Reply configuration; kept across reset().
        self.plan: Any = None
        self.complete_reply: Any = {"status": "ok"}
        self.prewarm_reply: Any = {"warm_session_id": "w-1"}
        self.data_legacy = self.data_direct = self.data_multipart = True

        self._lock = threading.RLock()
        self._cond = threading.Condition(self._lock)
        self._stopping = threading.Event()
        self._server: _Server | None = None
        self._serve_thread: threading.Thread | None = None
        self._threads: list[threading.Thread] = []
        self._conns: dict[socket.socket, int] = {}
        self._conn_serial = 0
        self.port = 0
        self.base = ""
        self.reset()

    # ------------------------------------------------------------------ lifecycle

    def start(self) -> "FakeCloud":
        self._stopping.clear()
        self._server = _Server(self)
        self.port = self._server.server_port
        self.base = f"http://127.0.0.1:{self.port}"
        self._serve_thread = threading.Thread(target=self._server.serve_forever,
                                              kwargs={"poll_interval": 0.01},
                                              name=f"fakecloud-{self.port}", daemon=True)
        self._track(self._serve_thread)
        self._serve_thread.start()
        return self

    def stop(self) -> None:
        """Releases holds and delays, closes every connection and joins the server threads."""
        if self._server is None:
            return
        self._stopping.set()
        with self._cond:
            self._cond.notify_all()
            conns = list(self._conns)
        self._server.shutdown()
        for conn in conns:
            try:
                conn.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
        self._server.server_close()
        deadline = time.monotonic() + 5
        for thread in list(self._threads):
            thread.join(max(0.0, deadline - time.monotonic()))
        self._server = None

    def __enter__(self) -> "FakeCloud":
        return self.start()

    def __exit__(self, *exc) -> None:
        self.stop()

    def reset(self) -> None:
        """Clears state, log, tokens, injections, handlers, gates and violations."""
        with self._lock:
            self.objects: dict[str, bytes] = {}
            self.corrupt: dict[str, bytes] = {}
            self.uploads: dict[str, Upload] = {}
            self.data: dict[str, bytes] = {}
            self.artifacts: dict[str, bytes] = {}
            self.outputs: list[dict] | None = []
            self.acks: list[str] = []
            self.complete_errors: list[dict] = []
            self.server_errors: list[tuple[Request | None, str]] = []
            self.injections: list[Injection] = []
            self._handlers: list[tuple[_Selector, Callable]] = []
            self._gates: list[Gate] = []
            self._violations: list[tuple[str, int]] = []
            self._allowed: set[str] = set()
            self._log: dict[int, Request] = {}
            self._seq = 0
            self._tokens: dict[str, _Token] = {}
            self._expire_next: list[list] = []   # [remaining, route or None]
            self._expected: dict[str, set[str]] = defaultdict(set)  # job -> put_urls blobs
            self._remint: dict[str, str] = {}    # add_output download_url -> artifact name
            self._counters: Counter = Counter()
            self._inflight: Counter = Counter()
            self._peak: Counter = Counter()

    # --------------------------------------------------------------- request log queries

    @property
    def requests(self) -> list[Request]:
        with self._lock:
            return sorted(self._log.values(), key=lambda r: r.seq)

    def requests_for(self, route: str | None = None, *, method: str | None = None,
                     path: str | None = None) -> list[Request]:
        pattern = re.compile(path) if path else None
        return [r for r in self.requests
                if (route is None or r.route == route)
                and (method is None or r.method == method.upper())
                and (pattern is None or pattern.search(r.path))]

    def count(self, route: str | None = None, **filters) -> int:
        return len(self.requests_for(route, **filters))

    def last(self, route: str | None = None, **filters) -> Request | None:
        found = self.requests_for(route, **filters)
        return found[-1] if found else None

    def wait_for(self, route: str | None, n: int = 1, timeout: float = 5.0) -> list[Request]:
        """Waits until ``n`` matching requests have been answered (or dropped)."""
        def done():
            return [r for r in self._log.values() if r.done and (route is None or r.route == route)]
        with self._cond:
            if not self._cond.wait_for(lambda: len(done()) >= n, timeout):
                raise TimeoutError(f"{len(done())} of {n} {route!r} requests after {timeout}s")
            return sorted(done(), key=lambda r: r.seq)

    def max_concurrency(self, route: str | None = None) -> int:
        with self._lock:
            return self._peak[route]

    def inflight(self, route: str | None = None) -> int:
        with self._lock:
            return self._inflight[route]

    def wait_inflight(self, route: str | None, n: int, timeout: float = 5.0) -> bool:
        with self._cond:
            return self._cond.wait_for(lambda: self._inflight[route] >= n, timeout)

    @property
    def violations(self) -> list[tuple[str, Request]]:
        with self._lock:
            return [(kind, self._log[seq]) for kind, seq in self._violations]

    def allow(self, *kinds: str) -> None:
        """Marks violation kinds a test provokes on purpose."""
        self._allowed.update(kinds)

    def problems(self) -> list[str]:
        """What the fixture's teardown refuses: unallowed violations, finite injections that
        never fired, server errors."""
        out = [f"violation {kind}: {r.method} {r.raw_path}"
               for kind, r in self.violations if kind not in self._allowed]
        out += [f"unused injection {inj!r}" for inj in self.injections
                if inj.finite and inj.hits == 0]
        out += [f"server error: {tb}" for _, tb in self.server_errors]
        return out

    def _records(self, seqs: Iterable[int]) -> list[Request]:
        with self._lock:
            return [self._log[s] for s in seqs if s in self._log]

    # ------------------------------------------------------------------ fault injection

    def inject(self, route: str | None, *, method=None, match=None, times: int | None = 1,
               after: int = 0, status=None, json=UNSET, body=None, headers=None, delay=None,
               truncate=None, drop=False, effect=False, etag=None) -> Injection:
        """Faults matching requests: skip ``after`` matches, then apply ``times`` times
        (None = always). Registration order decides; the first applicable one wins."""
        inj = Injection(self, _Selector(route, method, match), times=times, after=after,
                        status=status, json=json, body=body, headers=headers, delay=delay,
                        truncate=truncate, drop=drop, effect=effect, etag=etag)
        with self._lock:
            self.injections.append(inj)
        return inj

    def handle(self, route: str, fn: Callable[[Request, Callable[[], Reply]], Reply]) -> None:
        """Scripts a route: ``fn(req, default)`` returns the Reply; ``default()`` runs the
        built-in handler. The latest registration for a request wins."""
        with self._lock:
            self._handlers.insert(0, (_Selector(route), fn))

    def hold(self, route: str | None, match=None) -> Gate:
        gate = Gate(self, _Selector(route, None, match))
        with self._lock:
            self._gates.append(gate)
        return gate

    # ------------------------------------------------------------------ URLs and tokens

    def _mint(self, route: str, params: dict, *, expired=False, checksum=None) -> str:
        with self._lock:
            for entry in self._expire_next:
                if entry[0] > 0 and entry[1] in (None, route):
                    entry[0] -= 1
                    expired = True
                    break
            sig = secrets.token_hex(12)
            self._tokens[sig] = _Token(route, params, expired, checksum)
        path = _STORE_PATHS[route].format(**{k: quote(v, safe="") for k, v in params.items()})
        return f"{self.base}{path}?sig={sig}"

    def put_url(self, sha: str, *, expired: bool = False) -> str:
        return self._mint("blob_put", {"sha": sha}, expired=expired)

    def part_url(self, upload_id: str, pn: int, *, checksum: str | None = None,
                 expired: bool = False) -> str:
        """Presigned part PUT; naming an id makes it live. With ``checksum`` the PUT must
        carry that ``x-amz-checksum-sha256``."""
        with self._lock:
            upload = self.uploads.setdefault(upload_id, Upload(upload_id, "blob", None))
            upload.checksum = upload.checksum or checksum is not None
        return self._mint("part_put", {"upload_id": upload_id, "pn": str(pn)},
                          expired=expired, checksum=checksum)

    def data_put_url(self, key: str) -> str:
        return self._mint("data_put", {"key": key})

    def get_url(self, name: str, *, expired: bool = False) -> str:
        return self._mint("obj_get", {"name": name}, expired=expired)

    def expire(self, url: str) -> None:
        sig = dict(parse_qsl(urlsplit(url).query)).get("sig")
        with self._lock:
            self._tokens[sig].expired = True

    def expire_next(self, k: int, route: str | None = None) -> None:
        """The next ``k`` minted URLs (of ``route``, if given) are born expired."""
        with self._lock:
            self._expire_next.append([k, route])

    def _expiry(self) -> Reply:
        if isinstance(self.expiry_reply, Reply):
            return self.expiry_reply
        return _xml(*EXPIRY_PRESETS[self.expiry_reply])

    # ------------------------------------------------------------------ state helpers

    def _next_id(self, prefix: str) -> str:
        with self._lock:
            self._counters[prefix] += 1
            return f"{prefix}{self._counters[prefix]}"

    def create_upload(self, sha: str) -> str:
        return self._open_upload("blob", sha)

    def seed_part(self, upload_id: str, pn: int, data: bytes, *,
                  checksum: str | None = None) -> str:
        """Stores a part as if PUT earlier (journal resume); returns its unquoted ETag."""
        with self._lock:
            upload = self.uploads.setdefault(upload_id, Upload(upload_id, "blob", None))
            upload.parts[int(pn)] = Part(data, checksum, f'"{_md5(data)}"')
            return upload.parts[int(pn)].etag

    def kill_upload(self, upload_id: str) -> None:
        with self._lock:
            self.uploads.setdefault(upload_id, Upload(upload_id, "blob", None)).state = "killed"

    def _part_puts(self, upload_id: str) -> list[Request]:
        return [r for r in self.requests_for("part_put") if r.params.get("upload_id") == upload_id]

    def put_part_numbers(self, upload_id: str) -> list[int]:
        """Part numbers PUT over HTTP for this upload, in arrival order (retries repeat)."""
        return [int(r.params["pn"]) for r in self._part_puts(upload_id)]

    def part_attempts(self, upload_id: str, pn: int) -> int:
        return self.put_part_numbers(upload_id).count(int(pn))

    def add_output(self, name: str, data: bytes, *, save_to: str, relpath: str,
                   sha256: str | None = None, is_directory: bool = False) -> dict:
        """Adds an artifact and its outputs-manifest entry. Its ``download_url`` is minted
        afresh on every manifest fetch, as a real service presigns per request."""
        self._backend.write("obj", name, data)
        url = self._backend.get_url("obj", name)
        entry = {"download_url": url, "save_to": save_to, "relpath": relpath,
                 "sha256": sha256 if sha256 is not None else _sha(data),
                 "is_directory": is_directory}
        with self._lock:
            self._remint[url] = name
            if self.outputs is None:
                self.outputs = []
            self.outputs.append(entry)
            return entry

    def seed_data(self, key: str, data: bytes) -> None:
        self._backend.write("data", key, data)

    @staticmethod
    def make_zip(members: Mapping[str, bytes | None]) -> bytes:
        """A ZIP with the member names exactly as given; None makes a directory entry."""
        buf = io.BytesIO()
        with zipfile.ZipFile(buf, "w", zipfile.ZIP_DEFLATED) as zf:
            for name, data in members.items():
                if data is None:
                    info = zipfile.ZipInfo(name if name.endswith("/") else name + "/")
                    info.external_attr = (0o40755 << 16) | 0x10
                    zf.writestr(info, b"")
                else:
                    info = zipfile.ZipInfo(name)
                    info.external_attr = 0o644 << 16
                    zf.writestr(info, data, zipfile.ZIP_DEFLATED)
        return buf.getvalue()

    def mp_endpoints(self, job: str) -> dict[str, str]:
        root = f"/v1/jobs/{job}/workspace/multipart"
        return {"create_endpoint": f"{root}/create", "presign_parts_endpoint": f"{root}/presign",
                "complete_endpoint": f"{root}/complete", "abort_endpoint": f"{root}/abort"}

    def default_plan(self, manifest, job: str, *, protocol: int = 2, multipart: bool = True,
                     presign: bool = True, threshold: int = 64 * 1024,
                     part_size: int = 16 * 1024, checksum_parts: bool = False) -> dict:
        """The plan the double sends when ``cloud.plan`` is None; tests derive variants."""
        files = manifest.get("files") if isinstance(manifest, dict) else None
        shas = list(dict.fromkeys(f["sha256"] for f in files or ()
                                  if isinstance(f, dict) and "sha256" in f))
        stored = [s for s in shas if self._backend.exists("blob", s)]
        plan = {"put_urls": {s: self._backend.put_url("blob", s) for s in shas if s not in stored},
                "skip": stored, "upload_protocol": protocol}
        if multipart:
            block = {"enabled": True, "threshold_bytes": threshold, "part_size_bytes": part_size,
                     "checksum_parts": checksum_parts}
            if presign:
                block["presign_endpoint"] = f"/v1/jobs/{job}/workspace/presign"
            plan["multipart"] = {**block, **self.mp_endpoints(job)}
        return plan

    # ------------------------------------------------------------------ request pipeline

    def _match(self, method: str, path: str) -> tuple[str, dict]:
        for route in _ROUTES:
            if route.method == method:
                m = route.pattern.match(path)
                if m:
                    params = m.groupdict()
                    if path.startswith("/store/"):  # our own URLs, quoted when minted
                        params = {k: unquote(v) for k, v in params.items()}
                    return route.name, params
        return "unknown", {}

    def _connected(self, conn: socket.socket) -> int:
        with self._lock:
            self._conn_serial += 1
            self._conns[conn] = self._conn_serial
            return self._conn_serial

    def _disconnected(self, conn: socket.socket) -> None:
        with self._lock:
            self._conns.pop(conn, None)

    def _track(self, thread: threading.Thread) -> None:
        SERVER_THREADS.add(thread)
        with self._lock:
            self._threads = [t for t in self._threads if t.is_alive()] + [thread]

    def _arrive(self, head: Request) -> Request:
        with self._cond:
            self._seq += 1
            req = replace(head, seq=self._seq)
            self._log[req.seq] = req
            for key in (req.route, None):
                self._inflight[key] += 1
                self._peak[key] = max(self._peak[key], self._inflight[key])
            self._cond.notify_all()
            return req

    def _received(self, req: Request, body: bytes) -> Request:
        try:
            parsed = jsonlib.loads(body) if body else NOT_JSON
        except ValueError:
            parsed = NOT_JSON
        req = replace(req, body=body, json=parsed)
        with self._cond:
            self._log[req.seq] = req
            self._cond.notify_all()
        return req

    def _depart(self, req: Request, status: int | None, injection: Injection | None) -> None:
        with self._cond:
            final = self._log.get(req.seq, req)
            self._log[req.seq] = replace(final, status=status, injected=injection,
                                         t_end=time.monotonic())
            for key in (req.route, None):
                self._inflight[key] -= 1
            self._cond.notify_all()

    def _violate(self, kind: str, req: Request) -> None:
        with self._lock:
            self._violations.append((kind, req.seq))

    def _server_error(self, req: Request | None) -> None:
        with self._lock:
            self.server_errors.append((req, traceback.format_exc()))

    def _pick(self, req: Request, early: bool) -> Injection | None:
        with self._lock:
            for inj in self.injections:
                if (inj.drop == "early") == early and inj._take(req):
                    return inj
        return None

    def _early(self, req: Request) -> _Outcome | None:
        """Drops requests before their body is read (``drop="early"``)."""
        inj = self._pick(req, early=True)
        return None if inj is None else _Outcome(None, injection=inj)

    def _serve(self, req: Request) -> _Outcome:
        try:
            denied = self._check_auth(req)
            if denied is not None:
                return _Outcome(denied)
            with self._lock:
                gates = [g for g in self._gates if g._selector(req)]
            for gate in gates:
                if not gate._hold(req):
                    return _Outcome(None)
            inj = self._pick(req, early=False)
            if inj is None:
                return _Outcome(self._reply(req))
            return self._apply(inj, replace(req, injected=inj))
        except Exception:
            self._server_error(req)
            return _Outcome(Reply(500, json={"detail": "fake cloud failed"}))

    def _apply(self, inj: Injection, req: Request) -> _Outcome:
        drop = _Outcome(None, injection=inj)
        handled = self._reply(req) if inj.effect else None
        if inj.delay is not None and self._stopping.wait(inj.delay):
            return drop
        if inj.drop:
            return drop
        if inj.has_reply:
            reply = inj.reply()
        elif handled is not None and inj.truncate is None and inj.delay is None:
            return drop  # effect alone: the work is done, the reply is lost
        else:
            reply = handled if handled is not None else self._reply(req)
        if inj.headers:
            reply = reply.with_headers(inj.headers)
        return _Outcome(reply, inj.truncate, inj)

    def _reply(self, req: Request) -> Reply:
        with self._lock:
            scripted = next((fn for sel, fn in self._handlers if sel(req)), None)
        builtin = functools.partial(self._builtin, req)
        return scripted(req, builtin) if scripted else builtin()

    def _builtin(self, req: Request) -> Reply:
        try:
            return getattr(self, "_on_" + req.route)(req)
        except _Fail as fail:
            return fail.reply

    def _check_auth(self, req: Request) -> Reply | None:
        route = _ROUTE_BY_NAME.get(req.route)
        given = req.headers.get("Authorization")
        if route is None:
            return None
        if route.auth == "bearer" and given != f"Bearer {self.api_key}":
            self._violate("missing-auth" if given is None else "wrong-auth", req)
            return Reply(401, json={"detail": "unauthorized"})
        if route.auth == "presigned" and given is not None:
            self._violate("auth-on-presigned", req)
            return _xml(400, "InvalidArgument", "Only one auth mechanism allowed")
        if route.auth == "fetch" and given is not None:
            self._violate("auth-on-fetch", req)
        return None

    def _check_token(self, req: Request) -> _Token:
        with self._lock:
            token = self._tokens.get(req.query.get("sig", ""))
        if token is None or token.route != req.route or token.params != dict(req.params):
            raise _Fail(_xml(403, "SignatureDoesNotMatch"))
        if token.expired:
            raise _Fail(self._expiry())
        return token

    # ------------------------------------------------------------------ shared pieces

    def _value_reply(self, value: Any, req: Request) -> Reply:
        """Configured replies: a Reply, Raw bytes, any JSON value, or a callable of req."""
        if callable(value):
            value = value(req)
        if isinstance(value, Reply):
            return value
        if isinstance(value, Raw):
            return Reply(body=bytes(value))
        return Reply(json=value)

    def _open_upload(self, ns: str, key: str) -> str:
        upload_id = self._backend.create_multipart(ns, key)
        with self._lock:
            self.uploads[upload_id] = Upload(upload_id, ns, key)
        return upload_id

    def _live(self, upload_id) -> Upload:
        with self._lock:
            upload = self.uploads.get(upload_id) if isinstance(upload_id, str) else None
        if upload is None or not upload.live:
            raise _Fail(_no_such_upload())
        return upload

    def _batch(self, req: Request, items, limit: int) -> list:
        if not isinstance(items, list):
            raise _Fail(Reply(400, json={"detail": "expected a list"}))
        if len(items) > limit:
            self._violate("batch-too-large", req)
            raise _Fail(Reply(400, json={"detail": f"at most {limit} per batch"}))
        return items

    def _complete_error(self, req: Request, body: dict, code: str, detail: str) -> None:
        with self._lock:
            self.complete_errors.append({
                "route": req.route, "upload_id": body.get("upload_id"),
                "key": body.get("sha", body.get("data_key")), "error": code, "detail": detail})

    def _assemble(self, upload: Upload, parts) -> bytes:
        """Order, part and ETag checks (and checksums in checksum mode); the joined bytes."""
        if not isinstance(parts, list) or not parts:
            raise StoreError("InvalidPart", "no parts listed")
        try:
            numbers = [int(p["PartNumber"]) for p in parts]
        except (TypeError, KeyError, ValueError):
            raise StoreError("InvalidPart", "malformed part entry") from None
        if any(b <= a for a, b in zip(numbers, numbers[1:], strict=False)):
            raise StoreError("InvalidPartOrder", f"part numbers not ascending: {numbers}")
        if numbers != list(range(1, len(numbers) + 1)):
            raise StoreError("InvalidPart", f"part numbers are not 1..N: {numbers}")
        with self._lock:
            stored = dict(upload.parts)
        for pn, entry in zip(numbers, parts, strict=True):
            if pn not in stored:
                raise StoreError("InvalidPart", f"part {pn} was never stored")
            etag = entry.get("ETag")
            if not isinstance(etag, str) or etag.strip('"') != stored[pn].etag:
                raise StoreError("InvalidPart",
                                 f"part {pn}: ETag {etag!r} != sent {stored[pn].etag_header!r}")
            if upload.checksum and entry.get("ChecksumSHA256") != stored[pn].checksum:
                raise StoreError("InvalidChecksum", f"part {pn}: checksum mismatch")
        return b"".join(stored[pn].data for pn in numbers)

    def _complete(self, req: Request, check: Callable[[bytes], None]) -> Reply:
        body = _obj(req)
        try:
            upload = self._live(body.get("upload_id"))
        except _Fail:
            self._complete_error(req, body, "NoSuchUpload", "unknown, aborted or killed upload")
            raise
        with self._lock:
            if upload.key is None:  # id named by part_url/seed_part only
                upload.key = body.get("sha")
        try:
            self._backend.complete_multipart(upload.ns, upload.key, upload.id,
                                             body.get("parts"), check)
        except StoreError as err:
            self._complete_error(req, body, err.code, err.detail)
            return Reply(400, json={"error": err.code, "detail": err.detail})
        with self._lock:
            upload.state = "completed"
        return Reply(json={})

    def _presign_parts(self, req: Request) -> Reply:
        body = _obj(req)
        upload = self._live(body.get("upload_id"))
        numbers = self._batch(req, body.get("part_numbers"), 100)
        checksums = body.get("checksums") or {}
        if not all(isinstance(pn, int) for pn in numbers) or not isinstance(checksums, dict):
            raise _Fail(Reply(400, json={"detail": "bad part numbers or checksums"}))
        if checksums:
            with self._lock:
                upload.checksum = True
        return Reply(json={"urls": {
            str(pn): self._backend.part_url(upload.ns, upload.key, upload.id, pn,
                                            checksums.get(str(pn)))
            for pn in numbers}})

    def _require_length(self, req: Request) -> None:
        if "Content-Length" not in req.headers:
            self._violate("no-content-length", req)
            raise _Fail(_xml(411, "MissingContentLength"))

    def _checked_put(self, req: Request, required: str | None = None) -> str | None:
        """Single and part PUT body rules; returns the checksum header sent."""
        self._require_length(req)
        sent = req.headers.get("x-amz-checksum-sha256")
        if required is not None and sent != required:
            raise _Fail(_xml(400, "BadDigest"))
        if sent is not None and sent != _b64sha(req.body):
            raise _Fail(_xml(400, "BadDigest"))
        return sent

    # ------------------------------------------------------------------ job API handlers

    def _on_manifest(self, req: Request) -> Reply:
        job = req.params["job"]
        manifest = None if req.json is NOT_JSON else req.json
        plan = self.plan
        if plan is None:
            value = self.default_plan(manifest, job)
        elif callable(plan):
            value = plan(manifest, job)
        else:
            value = plan
        if isinstance(value, dict) and isinstance(value.get("put_urls"), dict):
            with self._lock:
                self._expected[job].update(value["put_urls"])
        return self._value_reply(value, req)

    def _on_presign(self, req: Request) -> Reply:
        shas = self._batch(req, _obj(req).get("shas"), 256)
        skip = [s for s in shas if self._backend.exists("blob", s)]
        urls = {s: self._backend.put_url("blob", s) for s in shas if s not in skip}
        with self._lock:
            self._expected[req.params["job"]].update(urls)
        return Reply(json={"urls": urls, "skip": skip})

    def _on_mp_create(self, req: Request) -> Reply:
        sha = _obj(req).get("sha")
        if self._backend.exists("blob", sha):
            return Reply(json={"skip": True})
        return Reply(json={"upload_id": self._open_upload("blob", sha)})

    def _on_mp_presign(self, req: Request) -> Reply:
        return self._presign_parts(req)

    def _on_mp_complete(self, req: Request) -> Reply:
        sha = _obj(req).get("sha")

        def check(data: bytes) -> None:
            if self.strict_content and _sha(data) != sha:
                raise StoreError("BadDigest", "assembled bytes do not hash to sha")
        return self._complete(req, check)

    def _on_mp_abort(self, req: Request) -> Reply:
        with self._lock:
            upload = self.uploads.get(_obj(req).get("upload_id"))
            if upload is not None:
                upload.state = "aborted"
        if upload is not None:
            self._backend.abort_multipart(upload.ns, upload.key, upload.id)
        return Reply(204)

    def _on_uploads_complete(self, req: Request) -> Reply:
        if self.strict_complete:
            with self._lock:
                expected = sorted(self._expected[req.params["job"]])
            missing = [s for s in expected if not self._backend.exists("blob", s)]
            if missing:
                return Reply(409, json={"detail": "missing blobs", "missing": missing})
        return self._value_reply(self.complete_reply, req)

    def _on_outputs_manifest(self, req: Request) -> Reply:
        with self._lock:
            outputs = None if self.outputs is None else [dict(e) for e in self.outputs]
            remint = dict(self._remint)
        if outputs is None:
            return _not_found()
        for entry in outputs:
            name = remint.get(entry.get("download_url"))
            if name is not None:
                entry["download_url"] = self._backend.get_url("obj", name)
        return Reply(json={"artifacts": outputs})

    def _on_outputs_ack(self, req: Request) -> Reply:
        with self._lock:
            self.acks.append(req.params["job"])
        return Reply(json={})

    # ------------------------------------------------------------------ store handlers

    def _on_blob_put(self, req: Request) -> Reply:
        self._check_token(req)
        self._checked_put(req)
        sha = req.params["sha"]
        with self._lock:
            (self.objects if _sha(req.body) == sha else self.corrupt)[sha] = req.body
        return Reply(headers={"ETag": f'"{_md5(req.body)}"'})

    def _on_data_put(self, req: Request) -> Reply:
        self._check_token(req)
        self._checked_put(req)
        with self._lock:
            self.data[req.params["key"]] = req.body
        return Reply(headers={"ETag": f'"{_md5(req.body)}"'})

    def _on_part_put(self, req: Request) -> Reply:
        token = self._check_token(req)
        upload_id = req.params["upload_id"]
        upload = self._live(upload_id)
        sent = self._checked_put(req, token.checksum)
        pn = int(req.params["pn"])
        attempt = sum(1 for r in self._part_puts(upload_id)
                      if r.params["pn"] == req.params["pn"] and r.seq < req.seq)
        mode = (req.injected.etag if req.injected and req.injected.etag else None) or self.etag_mode
        if callable(mode):
            mode = mode(req, upload_id, pn, attempt)
        name, value = _etag_header(mode, _md5(req.body))
        with self._lock:
            upload.parts[pn] = Part(req.body, sent, value)
        return Reply(headers={name: value} if name else None)

    def _on_obj_get(self, req: Request) -> Reply:
        self._check_token(req)
        data = self._backend.read("obj", req.params["name"])
        if data is None:
            return _xml(404, "NoSuchKey")
        asked = req.headers.get("Range")
        if asked is None:
            return Reply(body=data)
        m = re.fullmatch(r"bytes=(\d+)-", asked.strip())
        if not m:
            self._violate("bad-range", req)
            return _xml(400, "InvalidArgument", "only bytes=N- ranges are served")
        start, size = int(m[1]), len(data)
        if self.range_mode == "ignore":
            return Reply(body=data)
        if start >= size:
            return _xml(416, "InvalidRange", headers={"Content-Range": f"bytes */{size}"})
        # "lie" claims the range but sends bytes from 0: only a content check notices.
        body = data[start:] if self.range_mode == "honour" else data[:size - start]
        return Reply(206, body=body, headers={"Content-Range": f"bytes {start}-{size - 1}/{size}"})

    def _on_data_get_redirected(self, req: Request) -> Reply:
        data = self._backend.read("data", req.params["key"])
        return _not_found() if data is None else Reply(body=data)

    # ------------------------------------------------------------------ data API handlers

    def _offered(self, flag: bool) -> None:
        if not flag:
            raise _Fail(_not_found())

    def _on_data_upload(self, req: Request) -> Reply:
        self._offered(self.data_legacy)
        key = self._next_id("k")
        self._backend.write("data", key, req.body)
        return Reply(json={"data_key": key})

    def _on_data_init(self, req: Request) -> Reply:
        self._offered(self.data_direct)
        key = self._next_id("k")
        return Reply(json={"data_key": key, "put_url": self._backend.put_url("data", key)})

    def _on_data_complete(self, req: Request) -> Reply:
        body = _obj(req)
        key, size = body.get("data_key"), body.get("size")
        data = self._backend.read("data", key) if isinstance(key, str) else None
        if data is None or size != len(data):
            have = None if data is None else len(data)
            self._complete_error(req, body, "InvalidSize", f"size {size!r}, stored {have!r}")
        return Reply(json={})

    def _on_data_mp_init(self, req: Request) -> Reply:
        self._offered(self.data_multipart)
        key = self._next_id("k")
        return Reply(json={"data_key": key, "upload_id": self._open_upload("data", key)})

    def _on_data_mp_presign(self, req: Request) -> Reply:
        return self._presign_parts(req)

    def _on_data_mp_complete(self, req: Request) -> Reply:
        size = _obj(req).get("size")

        def check(data: bytes) -> None:
            if size != len(data):
                raise StoreError("InvalidSize", f"size {size!r} != assembled {len(data)}")
        return self._complete(req, check)

    def _on_data_mp_abort(self, req: Request) -> Reply:
        self._on_mp_abort(req)
        return Reply(json={})

    def _on_data_get(self, req: Request) -> Reply:
        if self.redirect_data:
            location = f"{self.base}/store/data/{quote(req.params['key'], safe='')}"
            return Reply(302, headers={"Location": location})
        return self._on_data_get_redirected(req)

    def _on_data_delete(self, req: Request) -> Reply:
        self._backend.delete("data", req.params["key"])
        return Reply(204)

    def _on_prewarm(self, req: Request) -> Reply:
        return self._value_reply(self.prewarm_reply, req)

    def _on_unknown(self, req: Request) -> Reply:
        self._violate("unknown-route", req)
        return _not_found()
