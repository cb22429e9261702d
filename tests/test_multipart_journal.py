"""The upload journal: where it lies, how it is read, written and resumed from."""

import hashlib
import json
from pathlib import Path

import pytest

import brivel.workspace as ws

pytestmark = pytest.mark.timeout(60)

KIB = 1024


def test_journal_dir_follows_the_cache_dir(monkeypatch, clean_env, tmp_path):
    monkeypatch.setenv("BRIVEL_CACHE_DIR", "")
    assert ws._upload_journal_dir() == clean_env / ".brivel_cache" / "uploads"
    assert (clean_env / ".brivel_cache" / "uploads").is_dir()
    monkeypatch.setenv("BRIVEL_CACHE_DIR", str(tmp_path / "a" / "b"))
    assert ws._upload_journal_dir() == tmp_path / "a" / "b" / "uploads"
    assert (tmp_path / "a" / "b" / "uploads").is_dir()


def test_journal_dir_creation_failure_is_ignored(monkeypatch, tmp_path):
    blocker = tmp_path / "file"
    blocker.write_text("not a directory")
    monkeypatch.setenv("BRIVEL_CACHE_DIR", str(blocker))
    assert ws._upload_journal_dir() == blocker / "uploads"


HEADER = {"upload_id": "u1", "part_size": 1024, "checksum_parts": False}
P1 = {"part": 1, "etag": "e1", "checksum": None}
P2 = {"part": 2, "etag": "e2", "checksum": None}


def lines(*items):
    return "".join((i if isinstance(i, str) else json.dumps(i)) + "\n" for i in items)


@pytest.mark.parametrize("text, header, records", [
    ("", None, []),
    (" \n\t\n", None, []),
    (lines(HEADER), HEADER, []),
    (lines(HEADER, P1, P2, '{"part": 3, "et'), HEADER, [P1, P2]),
    (lines(HEADER, P1).replace("\n", "\r\n") + "\r\n\r\n" + json.dumps(P2), HEADER, [P1, P2]),
    (lines("null", HEADER, P1), HEADER, [P1]),
    (lines(HEADER, "[1]", "7", '{"etag": "x"}', '{"part": 9}', "not json"), HEADER, [{"part": 9}]),
    (json.dumps({**HEADER, "completed": [P1]}, indent=2), {**HEADER, "completed": [P1]}, [P1]),
    (json.dumps({**HEADER, "completed": None}, indent=2), {**HEADER, "completed": None}, []),
    # A damaged header line: the first part line becomes the header (and fails the resume).
    (lines('{"upload_id": "u1", "part_si', P1, P2), P1, [P2]),
])
def test_read_forms(tmp_path, text, header, records):
    path = tmp_path / "j.json"
    path.write_text(text)
    got = ws._read_journal_state(path)
    assert got == (header, records) and type(got[1]) is list


def test_read_missing_and_undecodable(tmp_path):
    assert ws._read_journal_state(tmp_path / "missing.json") == (None, [])
    bad = tmp_path / "bad.json"
    bad.write_bytes(b"\xff\xfe\x00garbage")
    assert ws._read_journal_state(bad) == (None, [])


def test_first_value_must_be_an_object(tmp_path):
    path = tmp_path / "j.json"
    path.write_text(lines("[1, 2]", HEADER))
    with pytest.raises(TypeError, match="^Expected dict, got list$"):
        ws._read_journal_state(path)


# ----------------------------------------------------------------- written by the engine


def journal_path(cache_dir, sha) -> Path:
    return cache_dir / "uploads" / f"{sha}.json"


def test_journal_lines_as_written(cloud, client, cache_dir, random_file, monkeypatch):
    """The journal is left behind by an interrupt: header first, then one line per part."""
    path, data, sha = random_file(4 * KIB)
    calls = []

    def interrupted_complete(*args, **kwargs):
        calls.append(args)
        raise KeyboardInterrupt
    monkeypatch.setattr(ws.WorkspaceClient, "multipart_complete", interrupted_complete)
    with pytest.raises(KeyboardInterrupt):
        client.upload_blob_multipart(sha, path, len(data), KIB, cloud.mp_endpoints("j"))
    text = journal_path(cache_dir, sha).read_text()
    rows = text.splitlines()
    upload_id = calls[0][3]  # (self, endpoint, sha, upload_id, parts)
    assert rows[0] == json.dumps({"upload_id": upload_id, "part_size": KIB, "checksum_parts": False})
    etags = {r.params["pn"]: hashlib.md5(r.body).hexdigest() for r in cloud.requests_for("part_put")}
    assert sorted(rows[1:]) == sorted(f'{{"part": {pn}, "etag": "{etags[str(pn)]}", "checksum": null}}'
                                      for pn in range(1, 5))
    assert text.endswith("\n") and text.isascii()
    assert cloud.count("mp_abort") == 0  # an interrupt does not abort


def test_resumed_journal_is_rewritten_in_order_with_checksums(cloud, client, cache_dir, random_file,
                                                              write_journal):
    path, data, sha = random_file(4 * KIB)
    chunks = [data[i:i + KIB] for i in range(0, len(data), KIB)]
    b64 = [ws._sha256_region_b64(path, i * KIB, KIB) for i in range(4)]
    upload_id = cloud.create_upload(sha)
    e3 = cloud.seed_part(upload_id, 3, chunks[2], checksum=b64[2])
    e1 = cloud.seed_part(upload_id, 1, chunks[0], checksum=b64[0])
    write_journal(sha, {"upload_id": upload_id, "part_size": KIB, "checksum_parts": True},
                  [{"part": 3, "etag": e3, "checksum": b64[2]},
                   {"part": 1, "etag": e1, "checksum": b64[0]},
                   {"part": 2, "etag": "stale", "checksum": None}])  # no checksum: sent again
    written = []
    real_write = Path.write_text

    def spy(self, text, *a, **kw):
        written.append(text)
        return real_write(self, text, *a, **kw)
    with pytest.MonkeyPatch.context() as mp:
        mp.setattr(Path, "write_text", spy)
        client.upload_blob_multipart(sha, path, len(data), KIB, cloud.mp_endpoints("j"), checksum_parts=True)
    assert written[0].splitlines() == [
        json.dumps({"upload_id": upload_id, "part_size": KIB, "checksum_parts": True}),
        json.dumps({"part": 1, "etag": e1, "checksum": b64[0]}),
        json.dumps({"part": 3, "etag": e3, "checksum": b64[2]})]
    assert cloud.count("mp_create") == 0
    assert sorted(cloud.put_part_numbers(upload_id)) == [2, 4]
    assert cloud.objects[sha] == data
    assert not journal_path(cache_dir, sha).exists()


@pytest.mark.parametrize("header, records, resumed", [
    ({"upload_id": "U", "part_size": KIB, "checksum_parts": False}, [], True),
    ({"upload_id": "U", "part_size": float(KIB)}, [], True),                # equal value, absent mode
    ({"upload_id": "U", "part_size": 2 * KIB, "checksum_parts": False}, [], False),
    ({"upload_id": "U", "part_size": str(KIB), "checksum_parts": False}, [], False),
    ({"upload_id": "U", "part_size": KIB, "checksum_parts": True}, [], False),
    ({"upload_id": "", "part_size": KIB, "checksum_parts": False}, [], False),
    ({"upload_id": 7, "part_size": KIB, "checksum_parts": False}, [], False),
    ({"upload_id": "U", "part_size": KIB, "checksum_parts": False}, [{"part": "x", "etag": "e"}], False),
    ({"upload_id": "U", "part_size": KIB, "checksum_parts": False}, [{"part": 1}], False),
    ("[1, 2]", [], False),
])
def test_resume_rule(cloud, client, cache_dir, random_file, write_journal, header, records, resumed):
    path, data, sha = random_file(2 * KIB)
    upload_id = cloud.create_upload(sha)
    if isinstance(header, dict) and header["upload_id"] == "U":
        header = {**header, "upload_id": upload_id}
    write_journal(sha, header, records)
    client.upload_blob_multipart(sha, path, len(data), KIB, cloud.mp_endpoints("j"))
    assert cloud.count("mp_create") == (0 if resumed else 1)
    assert cloud.objects[sha] == data
    assert cloud.count("mp_abort") == 0  # a stale journal's upload is left to the server
    assert not journal_path(cache_dir, sha).exists()


def test_journal_complete_and_skip(cloud, client, cache_dir, random_file, write_journal):
    """Every part journaled: only the completion is sent. A stored object: create says skip
    and an existing journal stays as it was."""
    path, data, sha = random_file(2 * KIB)
    upload_id = cloud.create_upload(sha)
    etags = [cloud.seed_part(upload_id, pn, data[(pn - 1) * KIB:pn * KIB]) for pn in (1, 2)]
    write_journal(sha, {"upload_id": upload_id, "part_size": KIB, "checksum_parts": False},
                  [{"part": pn, "etag": e, "checksum": None} for pn, e in zip((1, 2), etags)])
    client.upload_blob_multipart(sha, path, len(data), KIB, cloud.mp_endpoints("j"))
    assert [r.route for r in cloud.requests] == ["mp_complete"]
    assert cloud.last("mp_complete").json["parts"] == [
        {"PartNumber": 1, "ETag": etags[0]}, {"PartNumber": 2, "ETag": etags[1]}]

    stale = write_journal(sha, {"upload_id": "old", "part_size": 2 * KIB, "checksum_parts": False})
    before = stale.read_text()
    client.upload_blob_multipart(sha, path, len(data), KIB, cloud.mp_endpoints("j"))
    assert cloud.last().route == "mp_create" and cloud.last().status == 200
    assert stale.read_text() == before


def test_unwritable_journal_does_not_stop_the_upload(cloud, client, monkeypatch, tmp_path, random_file):
    blocker = tmp_path / "cache-is-a-file"
    blocker.write_text("")
    monkeypatch.setenv("BRIVEL_CACHE_DIR", str(blocker))
    path, data, sha = random_file(3 * KIB)
    client.upload_blob_multipart(sha, path, len(data), KIB, cloud.mp_endpoints("j"))
    assert cloud.objects[sha] == data
