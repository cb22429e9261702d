"""moto's S3 server behind FakeCloud's job and data API, for interop tests.

``FakeCloud(store=S3Backend(s3, bucket))`` keeps the API routes and the double's upload
registry (so killed/aborted ids still answer NoSuchUpload), while URLs are boto3-presigned
against moto and objects live in the bucket. moto checks neither signatures nor expiry nor
checksum headers, so those stay tested against the double's own store.

Tests using these fixtures are marked ``s3``; moto and boto3 are imported lazily so this
module imports without them.
"""

from __future__ import annotations

import uuid

import pytest

from .cloud import StoreError

__all__ = ["S3Backend", "moto_server", "s3", "s3_bucket", "s3_cloud"]


class S3Backend:
    """The store interface FakeCloud uses, on a real S3 implementation. Keys are
    ``<ns>/<key>``: ``blob/<sha>``, ``data/<key>``, ``obj/<name>``."""

    def __init__(self, client, bucket: str, *, expires: int = 3600):
        self.client = client
        self.bucket = bucket
        self.expires = expires

    def _params(self, ns: str, key: str, **extra) -> dict:
        return {"Bucket": self.bucket, "Key": f"{ns}/{key}", **extra}

    def _presign(self, op: str, params: dict) -> str:
        return self.client.generate_presigned_url(op, Params=params, ExpiresIn=self.expires)

    def put_url(self, ns: str, key: str) -> str:
        return self._presign("put_object", self._params(ns, key))

    def get_url(self, ns: str, key: str) -> str:
        return self._presign("get_object", self._params(ns, key))

    def create_multipart(self, ns: str, key: str) -> str:
        return self.client.create_multipart_upload(**self._params(ns, key))["UploadId"]

    def part_url(self, ns, key, upload_id, pn, checksum=None) -> str:
        # moto ignores checksum headers, so the URL is not bound to one.
        return self._presign("upload_part",
                             self._params(ns, key, UploadId=upload_id, PartNumber=int(pn)))

    def complete_multipart(self, ns, key, upload_id, parts, check) -> bytes:
        """Passes the client's PartNumber/ETag list through; moto's rejection becomes a
        StoreError. ``check`` runs on the bytes read back."""
        try:
            listed = [{"PartNumber": p["PartNumber"], "ETag": p["ETag"]} for p in parts]
            self.client.complete_multipart_upload(
                **self._params(ns, key, UploadId=upload_id,
                               MultipartUpload={"Parts": listed}))
        except (TypeError, KeyError) as err:
            raise StoreError("InvalidPart", f"malformed parts: {err}") from None
        except self.client.exceptions.ClientError as err:
            error = err.response.get("Error", {})
            raise StoreError(error.get("Code", "Error"), error.get("Message", "")) from None
        data = self.read(ns, key)
        check(data)
        return data

    def abort_multipart(self, ns, key, upload_id) -> None:
        try:
            self.client.abort_multipart_upload(**self._params(ns, key, UploadId=upload_id))
        except self.client.exceptions.ClientError:
            pass  # already gone; the double answers abort with 204 either way

    def _missing(self, err) -> bool:
        return err.response.get("Error", {}).get("Code") in ("NoSuchKey", "404", "NotFound")

    def exists(self, ns: str, key: str) -> bool:
        try:
            self.client.head_object(**self._params(ns, key))
            return True
        except self.client.exceptions.ClientError as err:
            if self._missing(err):
                return False
            raise

    def read(self, ns: str, key: str) -> bytes | None:
        try:
            return self.client.get_object(**self._params(ns, key))["Body"].read()
        except self.client.exceptions.ClientError as err:
            if self._missing(err):
                return None
            raise

    def write(self, ns: str, key: str, data: bytes) -> None:
        self.client.put_object(Body=data, **self._params(ns, key))

    def delete(self, ns: str, key: str) -> None:
        self.client.delete_object(**self._params(ns, key))


@pytest.fixture(scope="session")
def moto_server():
    """moto in server mode on 127.0.0.1, one per test session; yields its endpoint URL."""
    pytest.importorskip("moto.server")
    from moto.server import ThreadedMotoServer

    with pytest.MonkeyPatch.context() as mp:
        mp.setenv("AWS_EC2_METADATA_DISABLED", "true")
        server = ThreadedMotoServer(ip_address="127.0.0.1", port=0, verbose=False)
        server.start()
        try:
            host, port = server.get_host_and_port()
            yield f"http://{host}:{port}"
        finally:
            server.stop()


@pytest.fixture(scope="session")
def s3(moto_server):
    """boto3 S3 client on moto: dummy credentials, us-east-1, path-style SigV4."""
    boto3 = pytest.importorskip("boto3")
    from botocore.config import Config

    return boto3.client(
        "s3", endpoint_url=moto_server, region_name="us-east-1",
        aws_access_key_id="testing", aws_secret_access_key="testing",
        config=Config(signature_version="s3v4", s3={"addressing_style": "path"},
                      retries={"max_attempts": 1}))


@pytest.fixture
def s3_bucket(request, s3):
    """A fresh bucket per test (moto's state lives for the whole process)."""
    if request.node.get_closest_marker("s3") is None:
        pytest.fail("tests using moto are marked @pytest.mark.s3, so -m 'not s3' skips them")
    name = f"test-{uuid.uuid4().hex[:16]}"
    s3.create_bucket(Bucket=name)
    return name


@pytest.fixture
def s3_cloud(cloud_factory, s3, s3_bucket):
    """FakeCloud whose object store is the moto bucket ``s3_bucket``."""
    return cloud_factory(store=S3Backend(s3, s3_bucket))
