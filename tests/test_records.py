"""Workspace records, WorkspaceTooLargeError and the manifest document."""

import dataclasses
import json
from pathlib import Path

import pytest

import brivel.workspace as w

RECORD_FIELDS = {
    "Upload": [("local", "Union[str, Path]", dataclasses.MISSING), ("to", "Optional[str]", None),
               ("follow_symlinks", "bool", False)],
    "Output": [("path", "Optional[str]", None), ("pattern", "Optional[str]", None),
               ("save_to", "Optional[Union[str, Path]]", None), ("required", "bool", False)],
    "Workspace": [("root", "Optional[Union[str, Path]]", "auto"), ("uploads", "list[Upload]", list),
                  ("outputs", "Union[list[Output], str]", "auto"), ("ignore", "list[str]", list),
                  ("max_size_bytes", "Optional[int]", None),
                  ("workspace_root_on_vm", "str", "/workspace")],
    "ManifestFile": [("relpath", "str", dataclasses.MISSING), ("sha256", "str", dataclasses.MISSING),
                     ("size", "int", dataclasses.MISSING), ("mode", "int", dataclasses.MISSING),
                     ("local_path", "Path", dataclasses.MISSING), ("to", "Optional[str]", None)],
    "BuiltManifest": [(n, t, dataclasses.MISSING) for n, t in [
        ("workspace_root", "str"), ("files", "list[ManifestFile]"), ("outputs", "list[Output]"),
        ("auto_outputs", "bool"), ("ignore", "list[str]"), ("total_size_bytes", "int")]],
}


@pytest.mark.parametrize("name", sorted(RECORD_FIELDS))
def test_records_are_plain_dataclasses(name):
    cls = getattr(w, name)
    assert dataclasses.is_dataclass(cls)
    assert cls.__bases__ == (object,)
    assert (cls.__module__, cls.__qualname__) == ("brivel.workspace", name)
    assert cls.__hash__ is None
    got = []
    for f in dataclasses.fields(cls):
        default = f.default_factory if f.default_factory is not dataclasses.MISSING else f.default
        got.append((f.name, f.type, default))
    assert got == RECORD_FIELDS[name]
    assert cls.__annotations__ == {n: t for n, t, _ in RECORD_FIELDS[name]}


def test_generated_methods():
    a, b = w.Upload("a"), w.Upload(local="a", to=None, follow_symlinks=False)
    assert a == b and a != w.Upload("a", "/x")
    assert repr(a) == "Upload(local='a', to=None, follow_symlinks=False)"
    with pytest.raises(TypeError):
        hash(a)
    with pytest.raises(TypeError):
        a < b  # noqa: B015  no ordering
    a.to = 42  # mutable, untyped
    assert a.to == 42
    assert vars(a) == {"local": "a", "to": 42, "follow_symlinks": False}


def test_workspace_defaults_do_not_share_lists():
    one, two = w.Workspace(), w.Workspace()
    assert one.uploads is not two.uploads and one.ignore is not two.ignore
    one.uploads.append(w.Upload("x"))
    assert two.uploads == []


@pytest.mark.parametrize("kwargs, message", [
    ({}, "Output requires either path= or pattern="),
    ({"path": ""}, "Output requires either path= or pattern="),
    ({"path": None, "pattern": ""}, "Output requires either path= or pattern="),
    ({"path": "a", "pattern": "*.csv"}, "Output cannot have both path= and pattern="),
])
def test_output_requires_exactly_one_of_path_and_pattern(kwargs, message):
    with pytest.raises(ValueError) as info:
        w.Output(**kwargs)
    assert str(info.value) == message


def test_output_post_init_accepts_one_and_takes_no_argument():
    out = w.Output(path="a", pattern="")
    assert out.__post_init__() is None
    with pytest.raises(TypeError):
        out.__post_init__(1)


def test_output_post_init_propagates_truthiness_errors():
    class Boom:
        def __bool__(self):
            raise ZeroDivisionError("boom")

    with pytest.raises(ZeroDivisionError):
        w.Output(path=Boom())


@pytest.mark.parametrize("kwargs, expected", [
    ({}, True),
    ({"root": None}, False),
    ({"root": None, "uploads": [w.Upload("x")]}, True),
    ({"root": ""}, True),
    ({"root": "/r", "uploads": []}, True),
])
def test_has_inputs(kwargs, expected):
    assert w.Workspace(**kwargs).has_inputs() is expected


def mf(relpath, sha, size=1, mode=0o644, to=None):
    return w.ManifestFile(relpath, sha, size, mode, Path("/src") / relpath, to)


def built(files=(), outputs=(), ignore=(), total=0, auto=False, root="/workspace"):
    return w.BuiltManifest(root, list(files), list(outputs), auto, list(ignore), total)


def test_unique_blobs_keeps_first_file_per_hash_in_order():
    first, second, again = mf("a", "h1"), mf("b", "h2"), mf("c", "h1")
    manifest = built([first, second, again])
    blobs = manifest.unique_blobs()
    assert list(blobs) == ["h1", "h2"]
    assert blobs["h1"] is first and blobs["h2"] is second
    assert [f["relpath"] for f in manifest.to_manifest_dict()["files"]] == ["a", "b", "c"]


def test_manifest_document():
    files = [mf("src/a.py", "a" * 64, 10, 0o644), mf("__mounts__/data/x", "b" * 64, 3, 0o755, "/data/x")]
    outputs = [w.Output(pattern="*.csv", save_to=Path("out")), "not-an-output",
               w.Output(path="model.bin", required=True)]
    doc = built(files, outputs, ["*.log"], 13).to_manifest_dict()
    assert json.dumps(doc) == json.dumps({
        "workspace_root": "/workspace",
        "files": [
            {"relpath": "src/a.py", "sha256": "a" * 64, "size": 10, "mode": 420, "to": None},
            {"relpath": "__mounts__/data/x", "sha256": "b" * 64, "size": 3, "mode": 493,
             "to": "/data/x"},
        ],
        "outputs": [
            {"path": None, "pattern": "*.csv", "save_to": "out", "required": False},
            {"path": "model.bin", "pattern": None, "save_to": None, "required": True},
        ],
        "auto_outputs": False,
        "ignore": ["*.log"],
        "total_size_bytes": 13,
    })


def test_manifest_document_output_subclass_and_save_to_forms():
    class MyOutput(w.Output):
        pass

    class Text(str):
        pass

    doc = built(outputs=[MyOutput(path="p", save_to=Text("t")), w.Output(path="q", save_to="s")])
    entries = doc.to_manifest_dict()["outputs"]
    assert [e["save_to"] for e in entries] == ["t", "s"]
    assert type(entries[0]["save_to"]) is str


def test_empty_manifest_document_and_fresh_containers():
    manifest = built(auto=True)
    doc = manifest.to_manifest_dict()
    assert doc == {"workspace_root": "/workspace", "files": [], "outputs": [], "auto_outputs": True,
                   "ignore": [], "total_size_bytes": 0}
    manifest.ignore.append("*.tmp")
    doc = manifest.to_manifest_dict()
    doc["ignore"].append("changed")
    assert manifest.ignore == ["*.tmp"]
    assert doc["files"] is not manifest.files and doc["outputs"] is not manifest.outputs


def test_output_check_reads_the_class_at_each_call(monkeypatch):
    class Other:
        path, pattern, save_to, required = "p", None, None, False

    monkeypatch.setattr(w, "Output", Other)
    assert len(built(outputs=[Other()]).to_manifest_dict()["outputs"]) == 1


def test_methods_take_only_the_instance():
    with pytest.raises(TypeError):
        built().unique_blobs(1)
    with pytest.raises(TypeError):
        built().to_manifest_dict(extra=True)
    with pytest.raises(TypeError):
        w.Workspace().has_inputs(None)


def test_too_large_error():
    err = w.WorkspaceTooLargeError("too big", 2)
    assert isinstance(err, RuntimeError) and w.WorkspaceTooLargeError.__bases__ == (RuntimeError,)
    assert err.args == ("too big", 2)
    assert w.WorkspaceTooLargeError.__module__ == "brivel.workspace"
    assert "max_size_bytes" in w.WorkspaceTooLargeError.__doc__
