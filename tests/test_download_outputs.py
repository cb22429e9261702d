"""download_outputs through the service double: verified placement, resume, refusal of
destinations outside the output directory, and acknowledgement only after all arrived."""

import ast
import errno
import hashlib
import os
import stat
from pathlib import Path

import pytest

import brivel.workspace as ws
from support.cloud import FakeCloud

MODEL = os.urandom(50_000)
RESULTS = {"results/a.txt": b"alpha", "results/sub/b.txt": b"beta"}


def sha(data):
    return hashlib.sha256(data).hexdigest()


def download_in_child(run_python, cloud, output_dir):
    """download_outputs in a child interpreter, killed should it block: (the paths placed,
    None) or (None, (type, errno, filename, text)) of the OSError raised."""
    proc = run_python(f"""
        from pathlib import Path
        import brivel.workspace as ws
        with ws.WorkspaceClient({cloud.base!r}, {cloud.api_key!r}, timeout=5) as client:
            try:
                got = ws.download_outputs("job", client, output_dir=Path({str(output_dir)!r}))
                print(repr(([str(p) for p in got], None)))
            except OSError as e:
                print(repr((None, (type(e).__name__, e.errno, e.filename, e.strerror))))
    """, timeout=30)
    assert proc.returncode == 0, proc.stderr
    return ast.literal_eval(proc.stdout)


def leftovers(root):
    return sorted(p.name for p in root.rglob("*.part"))


def test_file_and_zipped_directory_are_placed_verified_and_acked(cloud, client, tmp_path, progress):
    cloud.add_output("model", MODEL, save_to="out/model.pt", relpath="model.pt")
    cloud.add_output("results", FakeCloud.make_zip(RESULTS), save_to="out/results", relpath="results",
                     is_directory=True)
    got = ws.download_outputs("job", client, output_dir=tmp_path, on_file=progress.on_file)
    assert got == [tmp_path / "out/model.pt", tmp_path / "out/results"]
    assert (tmp_path / "out/model.pt").read_bytes() == MODEL
    assert (tmp_path / "out/results/a.txt").read_bytes() == b"alpha"
    assert (tmp_path / "out/results/sub/b.txt").read_bytes() == b"beta"
    assert leftovers(tmp_path) == []
    assert cloud.acks == ["job"]
    assert sorted(done for _, done, _ in progress.of("on_file")) == [1, 2]
    assert {total for _, _, total in progress.of("on_file")} == {2}
    assert cloud.last("outputs_ack").seq > max(r.seq for r in cloud.requests_for("obj_get"))


@pytest.mark.parametrize("outputs", [None, [], "absent"])
def test_nothing_to_download_is_acknowledged(cloud, client, tmp_path, outputs):
    if outputs == "absent":
        cloud.handle("outputs_manifest", lambda req, default: default().replace(json={}))
    else:
        cloud.outputs = outputs
    assert ws.download_outputs("job", client, output_dir=tmp_path) == []
    assert cloud.acks == ["job"]


def test_entries_without_url_are_skipped(cloud, client, tmp_path, progress):
    cloud.add_output("a", b"A", save_to="a", relpath="a")
    cloud.outputs.append({"download_url": None, "save_to": "skipped/b", "relpath": "b"})
    cloud.add_output("c", b"C", save_to="c", relpath="c")
    got = ws.download_outputs("job", client, output_dir=tmp_path, on_file=progress.on_file)
    assert got == [tmp_path / "a", tmp_path / "c"]
    assert not (tmp_path / "skipped").exists()
    assert sorted((done, total) for _, done, total in progress.of("on_file")) == [(1, 3), (2, 3)]


def test_relpath_and_current_directory(cloud, client, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    cloud.add_output("x", b"X", save_to="", relpath="res/x.bin")
    assert ws.download_outputs("job", client) == [Path("res/x.bin")]
    assert (tmp_path / "res/x.bin").read_bytes() == b"X"


def test_checksum_mismatch_fails_that_output_only_and_blocks_the_ack(cloud, client, tmp_path):
    for i in range(4):
        cloud.add_output(f"ok{i}", b"ok%d" % i, save_to=f"ok{i}", relpath=f"ok{i}")
    bad = cloud.add_output("bad", b"bytes", save_to="bad.bin", relpath="bad.bin")
    bad["sha256"] = sha(b"other")
    with pytest.raises(RuntimeError) as info:
        ws.download_outputs("job", client, output_dir=tmp_path)
    assert str(info.value) == (f"Checksum mismatch for output bad.bin: expected {sha(b'other')[:12]}, "
                               f"got {sha(b'bytes')[:12]}")
    assert all((tmp_path / f"ok{i}").read_bytes() == b"ok%d" % i for i in range(4))
    assert not (tmp_path / "bad.bin").exists() and leftovers(tmp_path) == []
    assert cloud.acks == [] and cloud.count("outputs_ack") == 0


def test_interrupted_download_resumes_from_its_part_file(cloud, client, tmp_path):
    cloud.add_output("model", MODEL, save_to="model.pt", relpath="model.pt")
    (tmp_path / "model.pt.part").write_bytes(MODEL[:20_000])
    assert ws.download_outputs("job", client, output_dir=tmp_path) == [tmp_path / "model.pt"]
    assert (tmp_path / "model.pt").read_bytes() == MODEL
    assert [r.headers.get("Range") for r in cloud.requests_for("obj_get")] == ["bytes=20000-"]


@pytest.mark.parametrize("stale", [b"z" * 20_000, b"z" * len(MODEL)])
def test_part_file_of_other_content_is_detected_and_fetched_again(cloud, client, tmp_path, stale):
    # A shorter file gets a confirmed 206, one of the same size a confirmed 416: only the
    # digest tells, and the download is then made again from byte zero.
    cloud.add_output("model", MODEL, save_to="model.pt", relpath="model.pt")
    (tmp_path / "model.pt.part").write_bytes(stale)
    ws.download_outputs("job", client, output_dir=tmp_path)
    assert (tmp_path / "model.pt").read_bytes() == MODEL
    assert [r.headers.get("Range") for r in cloud.requests_for("obj_get")] == [f"bytes={len(stale)}-", None]
    assert cloud.acks == ["job"]


def test_lying_store_is_caught_by_the_digest(cloud, client, tmp_path):
    # The 206 claims the right offset but sends the object from its start.
    cloud.range_mode = "lie"
    cloud.add_output("model", MODEL, save_to="model.pt", relpath="model.pt")
    (tmp_path / "model.pt.part").write_bytes(MODEL[:100])
    ws.download_outputs("job", client, output_dir=tmp_path)
    assert (tmp_path / "model.pt").read_bytes() == MODEL
    assert [r.status for r in cloud.requests_for("obj_get")] == [206, 200]


def test_mismatch_of_a_fresh_download_is_not_fetched_again(cloud, client, tmp_path):
    cloud.add_output("model", MODEL, save_to="model.pt", relpath="model.pt", sha256="0" * 64)
    with pytest.raises(RuntimeError, match="Checksum mismatch for output model.pt"):
        ws.download_outputs("job", client, output_dir=tmp_path)
    assert cloud.count("obj_get") == 1 and leftovers(tmp_path) == [] and cloud.acks == []


@pytest.mark.parametrize("save_to, is_directory", [
    ("../escaped.bin", False),
    ("a/../../escaped.bin", False),
    ("{abs}", False),
    (".", True),          # a directory artifact that is the output directory itself
    ("..", True),
])
def test_destination_outside_output_dir_is_refused(cloud, client, tmp_path, save_to, is_directory):
    out = tmp_path / "out"
    out.mkdir()
    save_to = save_to.format(abs=tmp_path / "abs" / "escaped.bin")
    cloud.add_output("ok", b"ok", save_to="ok", relpath="ok")
    cloud.add_output("evil", FakeCloud.make_zip({"x": b"x"}), save_to=save_to, relpath="r",
                     is_directory=is_directory)
    with pytest.raises(RuntimeError) as info:
        ws.download_outputs("job", client, output_dir=out)
    assert save_to in str(info.value) and "outside" in str(info.value)
    assert sorted(p.relative_to(tmp_path).as_posix() for p in tmp_path.rglob("*")) == ["out", "out/ok"]
    assert cloud.count("obj_get") == 1 and cloud.acks == []


def test_without_output_dir_the_current_directory_confines(cloud, client, tmp_path, monkeypatch):
    work = tmp_path / "work"
    work.mkdir()
    monkeypatch.chdir(work)
    cloud.add_output("evil", b"x", save_to=str(tmp_path / "elsewhere.bin"), relpath="r")
    with pytest.raises(RuntimeError, match="outside"):
        ws.download_outputs("job", client)
    assert not (tmp_path / "elsewhere.bin").exists() and cloud.acks == []


def test_unsafe_archive_keeps_its_part_and_a_second_call_resumes_it(cloud, client, tmp_path):
    archive = FakeCloud.make_zip({"ok.txt": b"ok", "../evil.txt": b"evil"})
    cloud.add_output("res", archive, save_to="res", relpath="res", is_directory=True)
    with pytest.raises(RuntimeError, match=r"^Unsafe output zip entry: \.\./evil\.txt$"):
        ws.download_outputs("job", client, output_dir=tmp_path)
    assert (tmp_path / "res.part").read_bytes() == archive
    assert list((tmp_path / "res").iterdir()) == [] and not (tmp_path / "evil.txt").exists()
    with pytest.raises(RuntimeError, match="Unsafe output zip entry"):
        ws.download_outputs("job", client, output_dir=tmp_path)
    assert [r.status for r in cloud.requests_for("obj_get")] == [200, 416]
    assert cloud.acks == []


def test_results_follow_manifest_order_whatever_finishes_first(cloud, client, tmp_path):
    names = [f"f{i}" for i in range(5)]
    for name in names:
        cloud.add_output(name, name.encode(), save_to=name, relpath=name)
    gate = cloud.hold("obj_get", match=lambda r: r.params["name"] == "f0")
    with gate:
        import threading
        result = {}
        t = threading.Thread(target=lambda: result.update(
            got=ws.download_outputs("job", client, output_dir=tmp_path, max_workers=2)))
        t.start()
        assert gate.arrived(1)
        cloud.wait_for("obj_get", 4)
        gate.release()
        t.join(10)
    assert result["got"] == [tmp_path / n for n in names]
    assert cloud.max_concurrency("obj_get") <= 2


@pytest.mark.parametrize("max_workers", ["4", b"4", [4]])
def test_bad_max_workers_fails_before_the_manifest(cloud, client, max_workers):
    with pytest.raises(TypeError, match="max_workers"):
        ws.download_outputs("job", client, max_workers=max_workers)
    assert cloud.count("outputs_manifest") == 0


def test_callback_errors_do_not_fail_outputs(cloud, client, tmp_path, progress):
    progress.fail = ValueError("ignored")
    cloud.add_output("a", b"A", save_to="a", relpath="a")
    assert ws.download_outputs("job", client, output_dir=tmp_path, on_file=progress.on_file) == [tmp_path / "a"]
    assert cloud.acks == ["job"]


def test_entry_that_is_not_a_dict_fails_and_blocks_the_ack(cloud, client, tmp_path):
    cloud.add_output("a", b"A", save_to="a", relpath="a")

    def with_list_entry(req, default):
        reply = default()
        return reply.replace(json={"artifacts": reply.json["artifacts"] + [["not", "a", "dict"]]})
    cloud.handle("outputs_manifest", with_list_entry)
    with pytest.raises(TypeError, match="'art'"):
        ws.download_outputs("job", client, output_dir=tmp_path)
    assert (tmp_path / "a").read_bytes() == b"A" and cloud.acks == []


def test_artifacts_must_be_a_list(cloud, client):
    cloud.handle("outputs_manifest", lambda req, default: default().replace(json={"artifacts": {"a": 1}}))
    with pytest.raises(TypeError, match="^Expected list, got dict$"):
        ws.download_outputs("job", client)
    assert cloud.acks == []


@pytest.mark.parametrize("is_directory", [False, True])
def test_fifo_at_the_part_file_fails_that_output_without_blocking(cloud, run_python, tmp_path, is_directory):
    body = FakeCloud.make_zip(RESULTS) if is_directory else MODEL
    cloud.add_output("ok", b"ok", save_to="ok", relpath="ok")
    cloud.add_output("model", body, save_to="model", relpath="model", is_directory=is_directory)
    fifo = tmp_path / "model.part"
    os.mkfifo(fifo)
    got, failure = download_in_child(run_python, cloud, tmp_path)
    assert failure == ("OSError", errno.EINVAL, str(fifo), "Not a regular file")
    assert stat.S_ISFIFO(fifo.lstat().st_mode) and not (tmp_path / "model").exists()
    assert (tmp_path / "ok").read_bytes() == b"ok" and cloud.acks == []
    assert [r.params["name"] for r in cloud.requests_for("obj_get")] == ["ok"]


def test_fifo_inside_a_directory_destination_is_refused_before_unpacking(cloud, run_python, tmp_path):
    cloud.add_output("results", FakeCloud.make_zip(RESULTS), save_to="out/results", relpath="results",
                     is_directory=True)
    (tmp_path / "out/results/sub").mkdir(parents=True)
    fifo = tmp_path / "out/results/sub/b.txt"
    os.mkfifo(fifo)
    got, failure = download_in_child(run_python, cloud, tmp_path)
    assert failure == ("OSError", errno.EINVAL, str(fifo), "Not a regular file")
    assert not (tmp_path / "out/results/a.txt").exists() and (tmp_path / "out/results.part").exists()
    assert cloud.acks == []


def test_fifo_at_a_file_destination_is_replaced(cloud, run_python, tmp_path):
    cloud.add_output("model", MODEL, save_to="model.pt", relpath="model.pt")
    os.mkfifo(tmp_path / "model.pt")
    assert download_in_child(run_python, cloud, tmp_path) == ([str(tmp_path / "model.pt")], None)
    assert (tmp_path / "model.pt").read_bytes() == MODEL and cloud.acks == ["job"]


class PathLike:
    def __init__(self, path):
        self.path = path

    def __fspath__(self):
        return self.path


@pytest.mark.parametrize("as_given", [str, PathLike, Path])
def test_output_dir_may_be_any_path(cloud, client, tmp_path, as_given):
    cloud.add_output("model", MODEL, save_to="out/model.pt", relpath="model.pt")
    got = ws.download_outputs("job", client, output_dir=as_given(str(tmp_path)))
    assert got == [tmp_path / "out/model.pt"] and all(type(p) is type(tmp_path) for p in got)
    assert (tmp_path / "out/model.pt").read_bytes() == MODEL and cloud.acks == ["job"]


@pytest.mark.parametrize("output_dir", [5, b"out", object()])
def test_output_dir_that_is_no_path_fails_before_the_manifest(cloud, client, output_dir):
    with pytest.raises(TypeError, match="output_dir"):
        ws.download_outputs("job", client, output_dir=output_dir)
    assert cloud.count("outputs_manifest") == 0
