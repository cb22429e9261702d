"""The streamed single PUT against a real S3 implementation (moto in server mode)."""

import hashlib
import os

import pytest

import brivel.workspace as ws

pytestmark = pytest.mark.s3
pytest.importorskip("moto.server")
pytest.importorskip("boto3")


def read_back(s3, bucket, key):
    return s3.get_object(Bucket=bucket, Key=key)["Body"].read()


@pytest.mark.parametrize("with_checksum", [False, True])
def test_single_put_stores_object(s3, s3_bucket, tmp_path, with_checksum):
    data = os.urandom(3 * 2**20 + 11)
    sha = hashlib.sha256(data).hexdigest()
    path = tmp_path / "blob.bin"
    path.write_bytes(data)
    url = s3.generate_presigned_url("put_object", Params={"Bucket": s3_bucket, "Key": sha})
    checksum = ws._sha256_to_checksum_b64(sha) if with_checksum else None
    with ws.WorkspaceClient("http://127.0.0.1:9", "unused") as wc:
        wc.upload_blob_single(url, path, checksum_b64=checksum)
        assert hashlib.sha256(read_back(s3, s3_bucket, sha)).hexdigest() == sha
        # And back through the same transfer pool.
        get_url = s3.generate_presigned_url("get_object", Params={"Bucket": s3_bucket, "Key": sha})
        assert wc.download_artifact(get_url) == data


def test_empty_file(s3, s3_bucket, tmp_path):
    path = tmp_path / "empty"
    path.write_bytes(b"")
    url = s3.generate_presigned_url("put_object", Params={"Bucket": s3_bucket, "Key": "e"})
    with ws.WorkspaceClient("http://127.0.0.1:9", "unused") as wc:
        wc.upload_blob(url, path, sha256=hashlib.sha256(b"").hexdigest())
    assert read_back(s3, s3_bucket, "e") == b""


@pytest.mark.parametrize("plan", [dict(protocol=1, multipart=False), dict(threshold=1 << 20)])
def test_workspace_upload_into_the_bucket(s3_cloud, s3, s3_bucket, tmp_path, plan):
    files = {f"f{i}": os.urandom(100 * i) for i in range(12)}
    entries = []
    for name, data in files.items():
        p = tmp_path / name
        p.write_bytes(data)
        entries.append(ws.ManifestFile(relpath=name, sha256=hashlib.sha256(data).hexdigest(),
                                       size=len(data), mode=0o644, local_path=p))
    built = ws.BuiltManifest(workspace_root="/workspace", files=entries, outputs=[],
                             auto_outputs=True, ignore=[], total_size_bytes=0)
    s3_cloud.plan = lambda manifest, job: s3_cloud.default_plan(manifest, job, **plan)
    with ws.WorkspaceClient(s3_cloud.base, s3_cloud.api_key) as wc:
        assert ws.upload_workspace("j", built, wc) == {"status": "ok"}
    for mf in entries:
        assert read_back(s3, s3_bucket, f"blob/{mf.sha256}") == files[mf.relpath]
    assert s3_cloud.count("uploads_complete") == 1
