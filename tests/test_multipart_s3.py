"""A multipart upload against a real S3 implementation (moto in server mode): its part
ETags, echoed on completion, and the assembled object."""

import hashlib
import os

import pytest

import brivel.workspace as ws

pytestmark = [pytest.mark.s3, pytest.mark.timeout(120)]
pytest.importorskip("moto.server")
pytest.importorskip("boto3")

MIB = 1 << 20


def test_multipart_upload_into_the_bucket(s3_cloud, s3, s3_bucket, tmp_path, cache_dir):
    data = os.urandom(11 * MIB + 123)  # parts before the last need 5 MiB
    sha = hashlib.sha256(data).hexdigest()
    path = tmp_path / "big.bin"
    path.write_bytes(data)
    with ws.WorkspaceClient(s3_cloud.base, s3_cloud.api_key) as wc:
        wc.upload_blob_multipart(sha, path, len(data), 5 * MIB, s3_cloud.mp_endpoints("j"))
    stored = s3.get_object(Bucket=s3_bucket, Key=f"blob/{sha}")["Body"].read()
    assert hashlib.sha256(stored).hexdigest() == sha
    parts = s3_cloud.last("mp_complete").json["parts"]
    assert [p["PartNumber"] for p in parts] == [1, 2, 3]
    assert [p["ETag"] for p in parts] == [hashlib.md5(data[i:i + 5 * MIB]).hexdigest()
                                          for i in range(0, len(data), 5 * MIB)]
    assert s3_cloud.complete_errors == []
    assert not (cache_dir / "uploads" / f"{sha}.json").exists()
