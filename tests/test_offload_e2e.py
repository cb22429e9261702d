"""End to end: the pickled resolving wrapper called in a fresh interpreter that fetches its
arguments from the double; the direct PUT and the multipart data upload against a real S3
implementation (moto in server mode)."""

import os

import cloudpickle
import pytest

import brivel.spillbox as sb


def test_pickled_wrapper_runs_in_a_fresh_interpreter(cloud_factory, run_python, tmp_path):
    cloud = cloud_factory(redirect_data=True)
    off = sb.DataOffloader(cloud.base, cloud.api_key, 1000)
    big, frame = os.urandom(5000), os.urandom(4000)

    def remote(data, n, frame=None):  # nested, so cloudpickle ships it by value
        import hashlib
        return [hashlib.sha256(data).hexdigest(), n, hashlib.sha256(frame).hexdigest()]

    wrapper, args, kwargs, keys = off.offload_large_args(remote, (big, 7), {"frame": frame})
    call = tmp_path / "call.pkl"
    call.write_bytes(cloudpickle.dumps((wrapper, args, kwargs)))
    assert cloud.api_key.encode() not in call.read_bytes()
    before = len(cloud.requests)
    proc = run_python(
        "import json, sys, cloudpickle\n"
        f"wrapper, args, kwargs = cloudpickle.loads(open({str(call)!r}, 'rb').read())\n"
        "print(json.dumps(wrapper(*args, **kwargs)))\n"
        "print(wrapper.__name__)\n", timeout=60)
    assert proc.returncode == 0, proc.stderr
    import hashlib
    import json
    lines = proc.stdout.splitlines()
    assert json.loads(lines[0]) == [hashlib.sha256(big).hexdigest(), 7, hashlib.sha256(frame).hexdigest()]
    assert lines[1] == "remote"
    fetched = cloud.requests[before:]
    assert [r.route for r in fetched] == ["data_get", "data_get_redirected"] * 2
    assert [r.params["key"] for r in fetched[::2]] == keys
    assert all("Authorization" not in r.headers for r in fetched)


@pytest.mark.s3
class TestOnS3:
    @pytest.fixture(autouse=True)
    def _moto(self):
        pytest.importorskip("moto.server")
        pytest.importorskip("boto3")

    def read_back(self, s3, bucket, key):
        return s3.get_object(Bucket=bucket, Key=f"data/{key}")["Body"].read()

    def test_direct_put(self, s3, s3_bucket, s3_cloud):
        off = sb.DataOffloader(s3_cloud.base, s3_cloud.api_key, 1000)
        payload = os.urandom(3 * 2**20 + 5)
        key = off._upload(payload)
        assert self.read_back(s3, s3_bucket, key) == cloudpickle.dumps(payload)
        assert s3_cloud.count("data_init") == 1 and s3_cloud.count("data_mp_init") == 0

    def test_multipart_with_real_etags(self, s3, s3_bucket, s3_cloud, set_const, brivel_logs):
        set_const(sb, "_DATA_MULTIPART_THRESHOLD", 2**20)
        set_const(sb, "_DATA_MULTIPART_PART_SIZE", 5 * 2**20)
        off = sb.DataOffloader(s3_cloud.base, s3_cloud.api_key, 1000)
        payload = os.urandom(11 * 2**20)
        wrapper, args, _, [key] = off.offload_large_args(len, (payload,), {})
        assert self.read_back(s3, s3_bucket, key) == cloudpickle.dumps(payload)
        assert s3_cloud.count("data_mp_complete") == 1 and s3_cloud.count("data_init") == 0
        assert s3_cloud.complete_errors == [] and not [r for r in brivel_logs.buffer if r.levelname == "WARNING"]
        assert wrapper(*args) == len(payload)
