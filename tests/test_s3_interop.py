"""The single streamed PUT against a real S3 implementation (moto in server mode)."""

import base64
import hashlib
import os
import uuid

import pytest

import brivel.workspace as ws

pytestmark = pytest.mark.s3

moto_server = pytest.importorskip("moto.server")
boto3 = pytest.importorskip("boto3")
from botocore.config import Config  # noqa: E402


@pytest.fixture(scope="module")
def s3_endpoint():
    os.environ.setdefault("AWS_EC2_METADATA_DISABLED", "true")
    server = moto_server.ThreadedMotoServer(ip_address="127.0.0.1", port=0, verbose=False)
    server.start()
    host, port = server.get_host_and_port()
    try:
        yield f"http://{host}:{port}"
    finally:
        server.stop()


@pytest.fixture
def s3(s3_endpoint, monkeypatch):
    for var in ("AWS_PROFILE", "AWS_CONFIG_FILE", "AWS_SHARED_CREDENTIALS_FILE"):
        monkeypatch.delenv(var, raising=False)
    client = boto3.client("s3", endpoint_url=s3_endpoint, region_name="us-east-1",
                          aws_access_key_id="testing", aws_secret_access_key="testing",
                          config=Config(signature_version="s3v4", s3={"addressing_style": "path"}))
    bucket = f"b-{uuid.uuid4().hex[:12]}"
    client.create_bucket(Bucket=bucket)
    return client, bucket


@pytest.mark.parametrize("with_checksum", [False, True])
def test_single_put_stores_object(s3, tmp_path, with_checksum):
    client, bucket = s3
    data = os.urandom(3 * 2**20 + 11)
    sha = hashlib.sha256(data).hexdigest()
    path = tmp_path / "blob.bin"
    path.write_bytes(data)
    url = client.generate_presigned_url("put_object", Params={"Bucket": bucket, "Key": sha}, ExpiresIn=300)
    checksum = ws._sha256_to_checksum_b64(sha) if with_checksum else None
    assert checksum is None or checksum == base64.b64encode(hashlib.sha256(data).digest()).decode()
    with ws.WorkspaceClient("http://127.0.0.1:9", "unused") as wc:
        wc.upload_blob_single(url, path, checksum_b64=checksum)
        got = client.get_object(Bucket=bucket, Key=sha)["Body"].read()
        assert hashlib.sha256(got).hexdigest() == sha
        # The plain download road reads it back through the same transfer pool.
        get_url = client.generate_presigned_url("get_object", Params={"Bucket": bucket, "Key": sha})
        assert wc.download_artifact(get_url) == data


def test_upload_blob_verifies_then_stores(s3, tmp_path):
    client, bucket = s3
    data = b"small text blob\n" * 100
    sha = hashlib.sha256(data).hexdigest()
    path = tmp_path / "t.txt"
    path.write_bytes(data)
    url = client.generate_presigned_url("put_object", Params={"Bucket": bucket, "Key": sha})
    with ws.WorkspaceClient("http://127.0.0.1:9", "unused") as wc:
        wc.upload_blob(url, path, sha256=sha)
    assert client.get_object(Bucket=bucket, Key=sha)["Body"].read() == data
