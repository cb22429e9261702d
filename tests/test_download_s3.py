"""Ranged resume of an artifact download against a real S3 implementation (moto server mode)."""

import os

import pytest

import brivel.workspace as ws

pytestmark = pytest.mark.s3
pytest.importorskip("moto.server")
pytest.importorskip("boto3")


def test_partial_file_is_resumed_then_complete(s3, s3_bucket, tmp_path, progress):
    data = os.urandom(3 * 2**20 + 5)
    s3.put_object(Bucket=s3_bucket, Key="art", Body=data)
    url = s3.generate_presigned_url("get_object", Params={"Bucket": s3_bucket, "Key": "art"})
    dest = tmp_path / "art.part"
    dest.write_bytes(data[: 2**20])
    with ws.WorkspaceClient("http://127.0.0.1:9", "unused") as wc:
        wc.download_artifact_to_file(url, dest, on_progress=progress.on_progress)
        assert dest.read_bytes() == data
        # Only the tail travelled: the store answered the range with 206.
        assert sum(n for (n,) in progress.of("on_progress")) == len(data) - 2**20
        # A complete file is answered 416 and left as it is.
        wc.download_artifact_to_file(url, dest, on_progress=progress.on_progress)
        assert dest.read_bytes() == data
        assert sum(n for (n,) in progress.of("on_progress")) == len(data) - 2**20
