import base64
import hashlib
import os
from pathlib import Path
from types import SimpleNamespace

import httpx
import pytest

import brivel.workspace as ws


class StatusLess(Exception):
    """An error whose response has no status_code."""

    def __init__(self, text=""):
        super().__init__(text)
        self.response = SimpleNamespace(text=text)


class Unreadable(Exception):
    """An error reply whose body cannot be read."""

    def __init__(self, status):
        super().__init__("unreadable")

        class Resp:
            status_code = status

            @property
            def text(self):
                raise UnicodeDecodeError("utf-8", b"\xff", 0, 1, "bad")

        self.response = Resp()


class TestTransient:
    @pytest.mark.parametrize("code, transient", [
        (408, True), (429, True), (500, True), (503, True), (599, True),
        (400, False), (403, False), (404, False), (416, False), (499, False), (600, False),
    ])
    def test_statuses(self, status_error, code, transient):
        assert ws._is_transient_http(status_error(code)) is transient

    @pytest.mark.parametrize("exc, transient", [
        (httpx.ConnectError("refused"), True),
        (httpx.ReadTimeout("slow"), True),
        (httpx.RemoteProtocolError("dropped"), True),
        (FileNotFoundError("gone"), False),
        (RuntimeError("boom"), False),
        (StatusLess(), False),
    ])
    def test_without_status(self, exc, transient):
        assert ws._is_transient_http(exc) is transient

    def test_status_none_judged_by_class(self):
        exc = httpx.ConnectError("refused")
        exc.response = SimpleNamespace(status_code=None)
        assert ws._is_transient_http(exc) is True

    @pytest.mark.parametrize("fn", ["_is_transient_http", "_is_expired_url", "_is_no_such_upload"])
    @pytest.mark.parametrize("bad", [None, "503", KeyboardInterrupt()])
    def test_argument_check(self, fn, bad):
        with pytest.raises(TypeError, match="Argument 'exc' has incorrect type"):
            getattr(ws, fn)(bad)


class TestExpired:
    @pytest.mark.parametrize("code, text, expired", [
        (403, "<Message>Request has expired</Message>", True),
        (403, "<Code>SignatureDoesNotMatch</Code>", True),
        (403, "AuthorizationQueryParametersError", True),
        (403, "AuthenticationRequired", True),
        (403, "<Code>AccessDenied</Code><Message>Access Denied</Message>", False),
        (403, "signature does not match", False),
        (403, "", False),
        (400, "", True),
        (400, "<Code>InvalidRequest</Code>", True),
        (401, "expired", False), (404, "expired", False), (500, "expired", False),
    ])
    def test_table(self, status_error, code, text, expired):
        assert ws._is_expired_url(status_error(code, text)) is expired

    @pytest.mark.parametrize("code, expired", [(400, True), (403, False)])
    def test_unreadable_body(self, code, expired):
        assert ws._is_expired_url(Unreadable(code)) is expired

    def test_markers_read_at_call_time(self, status_error, monkeypatch):
        monkeypatch.setattr(ws, "_URL_EXPIRY_MARKERS", ("access denied",))
        assert ws._is_expired_url(status_error(403, "Access Denied")) is True

    def test_no_status(self):
        assert ws._is_expired_url(httpx.ConnectError("x")) is False
        assert ws._is_expired_url(StatusLess("expired")) is False


class TestNoSuchUpload:
    @pytest.mark.parametrize("make, gone", [
        (lambda se: se(404, "whatever"), True),
        (lambda se: RuntimeError("upload said NoSuchUpload"), True),
        (lambda se: se(400, "<Code>NoSuchUpload</Code>"), False),
        (lambda se: se(500), False),
        (lambda se: StatusLess("nosuchupload"), True),
        (lambda se: httpx.ConnectError("x"), False),
    ])
    def test_table(self, status_error, make, gone):
        assert ws._is_no_such_upload(make(status_error)) is gone


class TestBackoff:
    @pytest.mark.parametrize("attempt, low, high", [(0, 0.25, 0.5), (1, 0.5, 1.0), (5, 8.0, 16.0),
                                                    (6, 15.0, 30.0), (40, 15.0, 30.0), (10**30, 15.0, 30.0)])
    def test_bounds(self, monkeypatch, attempt, low, high):
        import random
        import time
        slept = []
        monkeypatch.setattr(time, "sleep", slept.append)
        for u in (0.0, 0.999999):
            monkeypatch.setattr(random, "random", lambda u=u: u)
            ws._sleep_backoff(attempt)
        assert slept[0] == pytest.approx(low) and low <= slept[1] < high

    def test_float_attempt_converted(self, monkeypatch):
        import time
        slept = []
        monkeypatch.setattr(time, "sleep", slept.append)
        ws._sleep_backoff(1.9)
        assert 0.5 <= slept[0] < 1.0
        with pytest.raises(TypeError):
            ws._sleep_backoff(None)


class TestChecksum:
    def test_value(self):
        digest = hashlib.sha256(b"abc").digest()
        want = base64.b64encode(digest).decode()
        assert ws._sha256_to_checksum_b64(digest.hex()) == want
        assert ws._sha256_to_checksum_b64(digest.hex().upper()) == want
        assert len(want) == 44 and want.endswith("=")

    @pytest.mark.parametrize("text", ["", "a" * 63, "a" * 65, "a" * 63 + "g", "é" * 64, "a" * 62 + "\u0660\u0661"])
    def test_not_a_hash(self, text):
        assert ws._sha256_to_checksum_b64(text) is None

    def test_argument_check(self):
        with pytest.raises(TypeError, match="sha256_hex"):
            ws._sha256_to_checksum_b64(b"a" * 64)


# ---- upload_blob_single / upload_blob against the double -------------------------------------

def blob(tmp_path, data=None, name="blob.bin"):
    data = os.urandom(5000) if data is None else data
    path = tmp_path / name
    path.write_bytes(data)
    return path, hashlib.sha256(data).hexdigest(), data


class TestSinglePut:
    def test_streams_file_with_length_and_checksum(self, cloud, client, tmp_path):
        path, sha, data = blob(tmp_path, os.urandom(3 * 2**20 + 7))
        ck = ws._sha256_to_checksum_b64(sha)
        assert client.upload_blob_single(cloud.put_url(sha), path, checksum_b64=ck) is None
        assert cloud.objects[sha] == data
        req = cloud.last("blob_put")
        assert req.headers["Content-Length"] == str(len(data))
        assert req.headers["x-amz-checksum-sha256"] == ck
        assert "Authorization" not in req.headers and not req.chunked

    @pytest.mark.parametrize("ck", [None, ""])
    def test_no_checksum_header(self, cloud, client, tmp_path, ck):
        path, sha, data = blob(tmp_path)
        client.upload_blob_single(cloud.put_url(sha), str(path), checksum_b64=ck)
        assert "x-amz-checksum-sha256" not in cloud.last("blob_put").headers
        assert cloud.objects[sha] == data

    def test_body_is_a_stream_of_bounded_chunks(self, cloud, client, tmp_path, monkeypatch):
        path, sha, data = blob(tmp_path, os.urandom(5 * 2**20 + 3))
        real = client._transfer_http_client()
        seen = []

        class Spy:
            def put(self, url, *, content, headers):
                assert not isinstance(content, (bytes, bytearray, memoryview))

                def chunks():
                    for chunk in content:
                        seen.append(len(chunk))
                        yield chunk

                return real.put(url, content=chunks(), headers=headers)

        monkeypatch.setattr(client, "_transfer_http_client", lambda: Spy())
        client.upload_blob_single(cloud.put_url(sha), path)
        assert sum(seen) == len(data) and max(seen) <= 2**20 and len(seen) >= 6
        assert cloud.objects[sha] == data

    def test_disk_waits_release_the_gil(self, run_python, tmp_path):
        # A named pipe keeps the upload's read waiting until its writer closes it. The server
        # must answer the request meanwhile, which needs the GIL: if the read held it, the
        # interpreter would lock up, so the scenario runs in a child with a time-out.
        code = f"""
            import hashlib, os, sys, threading
            sys.path.insert(0, {str(Path(__file__).parent)!r})
            from support.cloud import FakeCloud
            import brivel.workspace as ws
            fifo = {str(tmp_path / "pipe")!r}
            os.mkfifo(fifo)
            empty = hashlib.sha256(b"").hexdigest()
            with FakeCloud() as cloud, ws.WorkspaceClient(cloud.base, cloud.api_key) as client:
                t = threading.Thread(target=client.upload_blob_single, args=(cloud.put_url(empty), fifo))
                t.start()
                fd = os.open(fifo, os.O_WRONLY)
                try:
                    cloud.wait_for("blob_put", timeout=10)
                finally:
                    os.close(fd)
                t.join(timeout=10)
                print("stored" if cloud.objects.get(empty) == b"" and not t.is_alive() else "lost")
        """
        done = run_python(code, timeout=30)
        assert done.stdout.strip() == "stored", done.stderr

    @pytest.mark.parametrize("bad, name", [({"put_url": None}, "put_url"), ({"checksum_b64": 5}, "checksum_b64")])
    def test_argument_check(self, cloud, client, tmp_path, bad, name):
        path, sha, _ = blob(tmp_path)
        kw = {"put_url": cloud.put_url(sha), "path": path, **bad}
        with pytest.raises(TypeError, match=f"Argument '{name}'"):
            client.upload_blob_single(kw.pop("put_url"), kw.pop("path"), **kw)
        assert cloud.count("blob_put") == 0

    def test_missing_file_raised_at_once(self, cloud, client, tmp_path, no_backoff):
        with pytest.raises(FileNotFoundError):
            client.upload_blob_single(cloud.put_url("0" * 64), tmp_path / "nope")
        assert cloud.count("blob_put") == 0 and no_backoff.attempts == []


class TestSinglePutRetries:
    def test_transient_then_success(self, cloud, client, tmp_path, no_backoff):
        path, sha, data = blob(tmp_path)
        cloud.inject("blob_put", status=503, times=2)
        cloud.inject("blob_put", drop=True, after=0, times=1)
        cloud.inject("blob_put", status=500, times=1)
        client.upload_blob_single(cloud.put_url(sha), path)
        assert cloud.count("blob_put") == 5 and no_backoff.attempts == [0, 1, 2, 3]
        assert cloud.objects[sha] == data

    def test_files_closed_on_every_path(self, cloud, client, tmp_path, no_backoff):
        path, sha, _ = blob(tmp_path, os.urandom(3 * 2**20))
        client.upload_blob_single(cloud.put_url(sha), path)  # opens the pool's connection
        before = len(os.listdir("/proc/self/fd"))
        cloud.inject("blob_put", status=503, times=5)
        with pytest.raises(httpx.HTTPStatusError):
            client.upload_blob_single(cloud.put_url(sha), path)
        cloud.inject("blob_put", drop=True, times=5)
        with pytest.raises(httpx.TransportError):
            client.upload_blob_single(cloud.put_url(sha), path)
        client.upload_blob_single(cloud.put_url(sha), path)
        # Ten failed attempts would leave ten files open; allow for server sockets closing late.
        assert len(os.listdir("/proc/self/fd")) <= before + 2

    def test_transient_exhausted(self, cloud, client, tmp_path, no_backoff):
        path, sha, _ = blob(tmp_path)
        cloud.inject("blob_put", status=503, times=5)
        with pytest.raises(httpx.HTTPStatusError) as e:
            client.upload_blob_single(cloud.put_url(sha), path)
        assert e.value.response.status_code == 503
        assert cloud.count("blob_put") == 5 and no_backoff.attempts == [0, 1, 2, 3]
        assert sha not in cloud.objects

    def test_attempts_read_at_call_time(self, cloud, client, tmp_path, no_backoff, set_const):
        path, sha, _ = blob(tmp_path)
        set_const(ws, "UPLOAD_MAX_RETRIES", 2)
        cloud.inject("blob_put", status=503, times=2)
        with pytest.raises(httpx.HTTPStatusError):
            client.upload_blob_single(cloud.put_url(sha), path)
        assert cloud.count("blob_put") == 2 and no_backoff.attempts == [0]

    @pytest.mark.parametrize("retries", [0, -3])
    def test_no_attempts_configured_still_uploads(self, cloud, client, tmp_path, set_const, retries):
        # An upload that sends nothing must not pass for a stored one.
        path, sha, data = blob(tmp_path)
        set_const(ws, "UPLOAD_MAX_RETRIES", retries)
        client.upload_blob_single(cloud.put_url(sha), path)
        assert cloud.objects[sha] == data

    @pytest.mark.parametrize("retries", [0, 1])
    def test_single_attempt_raises_transient_without_pause(self, cloud, client, tmp_path, no_backoff,
                                                           set_const, retries):
        path, sha, _ = blob(tmp_path)
        set_const(ws, "UPLOAD_MAX_RETRIES", retries)
        cloud.inject("blob_put", status=503)
        with pytest.raises(httpx.HTTPStatusError):
            client.upload_blob_single(cloud.put_url(sha), path)
        assert cloud.count("blob_put") == 1 and no_backoff.attempts == []

    @pytest.mark.parametrize("preset", ["expired", "signature", "authqp", "token", "authreq", "bare400"])
    def test_expired_url_reminted_at_once(self, cloud, client, tmp_path, no_backoff, preset):
        path, sha, data = blob(tmp_path)
        cloud.expiry_reply = preset
        fresh = []

        def remint():
            fresh.append(cloud.put_url(sha))
            return fresh[-1]

        client.upload_blob_single(cloud.put_url(sha, expired=True), path, remint=remint)
        puts = cloud.requests_for("blob_put")
        assert len(fresh) == 1 and len(puts) == 2 and no_backoff.attempts == []
        assert puts[1].query["sig"] == httpx.URL(fresh[0]).params["sig"] != puts[0].query["sig"]
        assert cloud.objects[sha] == data

    def test_plain_403_raised_unchanged(self, cloud, client, tmp_path, no_backoff):
        path, sha, _ = blob(tmp_path)
        cloud.expiry_reply = "denied"
        calls = []
        with pytest.raises(httpx.HTTPStatusError) as e:
            client.upload_blob_single(cloud.put_url(sha, expired=True), path, remint=lambda: calls.append(1))
        assert e.value.response.status_code == 403 and "Access Denied" in e.value.response.text
        assert calls == [] and cloud.count("blob_put") == 1 and no_backoff.attempts == []

    def test_expired_without_remint_raised(self, cloud, client, tmp_path, no_backoff):
        path, sha, _ = blob(tmp_path)
        with pytest.raises(httpx.HTTPStatusError):
            client.upload_blob_single(cloud.put_url(sha, expired=True), path)
        assert cloud.count("blob_put") == 1

    def test_failing_remint_raises_the_expiry_error(self, cloud, client, tmp_path, no_backoff):
        path, sha, _ = blob(tmp_path)

        def remint():
            raise ConnectionError("presign down")

        with pytest.raises(httpx.HTTPStatusError) as e:
            client.upload_blob_single(cloud.put_url(sha, expired=True), path, remint=remint)
        assert e.value.response.status_code == 403 and cloud.count("blob_put") == 1

    def test_remint_on_last_attempt_raises_expiry(self, cloud, client, tmp_path, no_backoff, set_const):
        path, sha, _ = blob(tmp_path)
        set_const(ws, "UPLOAD_MAX_RETRIES", 1)
        calls = []

        def remint():
            calls.append(1)
            return cloud.put_url(sha)

        with pytest.raises(httpx.HTTPStatusError) as e:
            client.upload_blob_single(cloud.put_url(sha, expired=True), path, remint=remint)
        assert e.value.response.status_code == 403 and calls == [1] and cloud.count("blob_put") == 1

    @pytest.mark.parametrize("name, verdict, status, remints, pauses", [
        ("_is_expired_url", True, 503, 1, []),     # a 503 taken for an expired URL: re-minted
        ("_is_transient_http", True, 404, 0, [0]),  # a 404 taken for a transient error: paused
    ])
    def test_predicates_looked_up_at_call_time(self, cloud, client, tmp_path, no_backoff, monkeypatch,
                                               name, verdict, status, remints, pauses):
        path, sha, data = blob(tmp_path)
        monkeypatch.setattr(ws, name, lambda exc: verdict)
        cloud.inject("blob_put", status=status)
        fresh = []

        def remint():
            fresh.append(cloud.put_url(sha))
            return fresh[-1]

        client.upload_blob_single(cloud.put_url(sha), path, remint=remint)
        assert len(fresh) == remints and no_backoff.attempts == pauses
        assert cloud.objects[sha] == data

    def test_checksum_sent_on_every_attempt(self, cloud, client, tmp_path, no_backoff):
        path, sha, _ = blob(tmp_path)
        ck = ws._sha256_to_checksum_b64(sha)
        cloud.inject("blob_put", status=503)
        client.upload_blob_single(cloud.put_url(sha, expired=True), path, checksum_b64=ck,
                                  remint=lambda: cloud.put_url(sha))
        assert [r.headers.get("x-amz-checksum-sha256") for r in cloud.requests_for("blob_put")] == [ck] * 3

    def test_length_taken_at_each_attempt(self, cloud, client, tmp_path, no_backoff, monkeypatch):
        path, _, _ = blob(tmp_path, b"x" * 100)
        final = b"y" * 250
        sha = hashlib.sha256(final).hexdigest()

        def grow(attempt):
            no_backoff.attempts.append(attempt)
            path.write_bytes(final)

        monkeypatch.setattr(ws, "_sleep_backoff", grow)
        cloud.inject("blob_put", status=503)
        client.upload_blob_single(cloud.put_url(sha), path)
        assert [r.headers["Content-Length"] for r in cloud.requests_for("blob_put")] == ["100", "250"]
        assert cloud.objects[sha] == final


class TestUploadBlob:
    def test_verified_upload(self, cloud, client, tmp_path):
        path, sha, data = blob(tmp_path)
        client.upload_blob(cloud.put_url(sha), path, sha256=sha)
        assert cloud.objects[sha] == data
        assert "x-amz-checksum-sha256" not in cloud.last("blob_put").headers

    @pytest.mark.parametrize("expected", ["upper", "", "other"])
    def test_changed_file_refused(self, cloud, client, tmp_path, expected):
        path, sha, _ = blob(tmp_path)
        want = {"upper": sha.upper(), "": "", "other": "ab" * 32}[expected]
        with pytest.raises(RuntimeError) as e:
            client.upload_blob(cloud.put_url(sha), path, sha256=want)
        assert str(e.value) == (f"Local file {path} changed during upload "
                                f"(expected sha256={want[:12]}, got {sha[:12]})")
        assert cloud.count("blob_put") == 0

    @pytest.mark.parametrize("size", [10, 3 * 2**20 + 5])
    def test_change_after_the_check_never_stored(self, cloud, client, tmp_path, monkeypatch, size):
        # The file is edited between the re-hash and the PUT: the bytes streamed are hashed
        # too, and the body is cut off before its end, so the store keeps nothing.
        path, sha, _ = blob(tmp_path, b"a" * size)
        monkeypatch.setattr(ws, "_sha256_file", lambda p: (sha, size))
        path.write_bytes(b"b" * size)
        real = hashlib.sha256(b"b" * size).hexdigest()
        with pytest.raises(RuntimeError) as e:
            client.upload_blob(cloud.put_url(sha), path, sha256=sha)
        assert str(e.value) == (f"Local file {path} changed during upload "
                                f"(expected sha256={sha[:12]}, got {real[:12]})")
        put = cloud.wait_for("blob_put")[0]
        assert put.status is None and cloud.count("blob_put") == 1
        assert sha not in cloud.objects and sha not in cloud.corrupt
        # The next upload of the file as it now is goes through on a fresh connection.
        monkeypatch.undo()
        client.upload_blob(cloud.put_url(real), path, sha256=real)
        assert cloud.objects[real] == b"b" * size

    def test_check_applies_to_the_one_call_only(self, cloud, client, tmp_path):
        path, sha, data = blob(tmp_path)
        client.upload_blob(cloud.put_url(sha), path, sha256=sha)
        other, osha, odata = blob(tmp_path, name="other.bin")
        client.upload_blob_single(cloud.put_url(osha), other)
        assert cloud.objects[sha] == data and cloud.objects[osha] == odata

    def test_override_that_uploads_something_else_first(self, cloud, tmp_path):
        # The verified hash belongs to its upload_blob call: an override of upload_blob_single
        # that first sends another file must not have that file checked against it.
        path, sha, data = blob(tmp_path)
        other, osha, odata = blob(tmp_path, name="other.bin")

        class Client(ws.WorkspaceClient):
            def upload_blob_single(self, put_url, path, **kw):
                super().upload_blob_single(cloud.put_url(osha), other)
                super().upload_blob_single(put_url, path, **kw)

        with Client(cloud.base, cloud.api_key, timeout=10) as c:
            c.upload_blob(cloud.put_url(sha), path, sha256=sha)
        assert cloud.objects[sha] == data and cloud.objects[osha] == odata

    def test_without_hash_no_read_before_upload(self, cloud, client, tmp_path, monkeypatch):
        path, sha, data = blob(tmp_path)

        def no_hash(p):
            raise AssertionError("hashed")

        monkeypatch.setattr(ws, "_sha256_file", no_hash)
        client.upload_blob(cloud.put_url(sha), path)
        assert cloud.objects[sha] == data

    def test_goes_through_upload_blob_single(self, cloud, client, tmp_path, monkeypatch):
        path, sha, _ = blob(tmp_path)
        calls = []
        monkeypatch.setattr(client, "upload_blob_single", lambda *a, **kw: calls.append((a, kw)), raising=False)
        client.upload_blob("http://u", path, sha256=sha)
        assert calls == [(("http://u", path), {"checksum_b64": None})]
