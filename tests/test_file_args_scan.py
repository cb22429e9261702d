"""The file-argument scan (``resolve_file_args`` with its two predicates) and the
replacement of one value (``_resolve_one``)."""

import collections
import io
import os
import types
import zipfile
from pathlib import Path, PurePosixPath

import pytest

import brivel.spillbox as sb

SUBCLASS_NOTE = "Subclasses of built-in types are not accepted here"


@pytest.fixture
def files(tmp_path, monkeypatch):
    """a.txt (3 bytes) and data/ (x, sub/y) in the current directory."""
    monkeypatch.chdir(tmp_path)
    (tmp_path / "a.txt").write_bytes(b"abc")
    (tmp_path / "data" / "sub").mkdir(parents=True)
    (tmp_path / "data" / "x").write_bytes(b"x")
    (tmp_path / "data" / "sub" / "y").write_bytes(b"yy")
    return tmp_path


@pytest.fixture
def fs_queries(monkeypatch):
    """Replaces the module's ``os`` by one whose path tests record their argument."""
    asked = []
    fake_path = types.SimpleNamespace(
        isfile=lambda p: asked.append(p) or os.path.isfile(p),
        isdir=lambda p: asked.append(p) or os.path.isdir(p),
        basename=os.path.basename)
    monkeypatch.setattr(sb, "os", types.SimpleNamespace(path=fake_path))
    return asked


def members(ref):
    return zipfile.ZipFile(io.BytesIO(ref._data)).namelist()


# ----------------------------------------------------------------------------- _resolve_one


@pytest.mark.parametrize("given", [Path("a.txt"), "a.txt", lambda d: str(d / "a.txt")], ids=["Path", "str", "abs"])
def test_file_becomes_a_file_reference(files, given):
    obj = given(files) if callable(given) else given
    ref = sb._resolve_one(obj)
    assert type(ref) is sb._RemoteFile
    assert (ref._data, ref._filename, ref._path) == (b"abc", "a.txt", None)


@pytest.mark.parametrize("given, name", [
    ("data", "data"), ("data/", "data"), ("data//", "data"), (Path("data/"), "data"),
    (".", "."), (Path("."), ""), ("data/sub/..", ".."),
])
def test_directory_becomes_a_directory_reference(files, given, name):
    ref = sb._resolve_one(obj=given)
    assert type(ref) is sb._RemoteDir
    assert ref._dirname == name and ref._path is None
    if name == "data":
        assert members(ref) == ["x", "sub/y"] and ref._file_count == 2


def test_root_directory_gets_the_empty_name(monkeypatch):
    zipped = []
    monkeypatch.setattr(sb, "_zip_directory", lambda p: zipped.append(p) or (b"", 0))
    for root in ("/", Path("/")):
        ref = sb._resolve_one(root)
        assert ref._dirname == "" and ref._file_count == 0
    assert zipped == [Path("/"), Path("/")]


def test_link_to_a_file_is_named_after_the_link(files):
    os.symlink(files / "a.txt", files / "link.txt")
    ref = sb._resolve_one("link.txt")
    assert (ref._filename, ref._data) == ("link.txt", b"abc")


@pytest.mark.parametrize("obj", [5, b"a.txt", "missing.txt", PurePosixPath("a.txt"), None])
def test_anything_else_comes_back_unchanged(files, obj):
    assert sb._resolve_one(obj) is obj


def test_read_errors_propagate(files, monkeypatch):
    def broken(self):
        raise PermissionError(13, "Permission denied", str(self))

    monkeypatch.setattr(Path, "read_bytes", broken)
    with pytest.raises(PermissionError):
        sb._resolve_one("a.txt")


# ---------------------------------------------------------------------------- predicates


@pytest.mark.parametrize("test, target, expected", [
    (sb._is_local_file, "a.txt", True), (sb._is_local_file, Path("a.txt"), True),
    (sb._is_local_file, "data", False), (sb._is_local_dir, "data", True),
    (sb._is_local_dir, Path("data"), True), (sb._is_local_dir, "a.txt", False),
    (sb._is_local_file, b"a.txt", False), (sb._is_local_file, PurePosixPath("a.txt"), False),
    (sb._is_local_file, 3, False), (sb._is_local_dir, None, False),
])
def test_predicates(files, test, target, expected):
    assert test(target) is expected


def test_long_texts_and_urls_never_reach_the_file_system(files, fs_queries):
    long_text = "a" * 4096
    short_enough = "./" + "a" * 4093
    urls = ["http://a.txt", "https://a.txt", "s3://a.txt", "gs://a.txt"]
    for text in [long_text, *urls]:
        assert sb._is_local_file(text) is False and sb._is_local_dir(text) is False
    assert fs_queries == []
    sb._is_local_file(short_enough)
    sb._is_local_dir("HTTP://a.txt")
    assert fs_queries == [short_enough, "HTTP://a.txt"]


# ------------------------------------------------------------------------------- the scan


def test_nothing_to_scan():
    assert sb.resolve_file_args((), {}) == ((), {}, 0)


def test_relative_text_depends_on_the_current_directory(files, tmp_path_factory, monkeypatch):
    (ref,), kw, n = sb.resolve_file_args(("a.txt",), {})
    assert type(ref) is sb._RemoteFile and n == 1
    monkeypatch.chdir(tmp_path_factory.mktemp("elsewhere"))
    assert sb.resolve_file_args(("a.txt",), {}) == (("a.txt",), {}, 0)


def test_one_container_level(files):
    inner = ["a.txt"]
    args, kwargs, n = sb.resolve_file_args((["a.txt", inner],), {"d": {"a.txt": "a.txt"}, "dir": "data"})
    (outer,) = args
    assert type(outer) is list and type(outer[0]) is sb._RemoteFile and outer[1] is inner
    assert list(kwargs["d"]) == ["a.txt"] and type(kwargs["d"]["a.txt"]) is sb._RemoteFile
    assert type(kwargs["dir"]) is sb._RemoteDir and kwargs["dir"]._file_count == 2
    assert n == 3


def test_same_path_twice_gives_two_references(files):
    (a, b), _, n = sb.resolve_file_args(("a.txt", "a.txt"), {})
    assert a is not b and n == 2


def test_values_that_pass_through(files):
    pure, raw, group = PurePosixPath("a.txt"), b"a.txt", {"a.txt"}
    args, _, n = sb.resolve_file_args((pure, raw, group, 7), {})
    assert args[0] is pure and args[1] is raw and args[2] is group and n == 0


def test_second_pass_replaces_nothing(files):
    once = sb.resolve_file_args(("a.txt", ["data"]), {"k": Path("a.txt")})
    again = sb.resolve_file_args(once[0], once[1])
    assert again[2] == 0
    assert again[0][0] is once[0][0] and again[0][1][0] is once[0][1][0] and again[1]["k"] is once[1]["k"]


def test_containers_are_rebuilt(files):
    t = (1, 2)
    od = collections.OrderedDict([("b", 1), ("a", "a.txt")])
    dd = collections.defaultdict(list, {"z": 2, "y": 3})
    args, _, _ = sb.resolve_file_args((t, od, dd), {})
    assert args[0] == t and args[0] is not t and type(args[0]) is tuple
    assert type(args[1]) is dict and list(args[1]) == ["b", "a"] and type(args[1]["a"]) is sb._RemoteFile
    assert type(args[2]) is dict and args[2] == {"z": 2, "y": 3}


class Listish(list):
    pass


One = collections.namedtuple("One", "path")
Two = collections.namedtuple("Two", "path other")
Empty = collections.namedtuple("Empty", "")


@pytest.mark.parametrize("value, fields", [
    (One("a.txt"), ["path"]), (Two("a.txt", 5), ["path", "other"]), (Empty(), []),
])
def test_named_tuples_are_rebuilt_field_by_field(files, value, fields):
    (out,), _, n = sb.resolve_file_args((value,), {})
    assert type(out) is type(value) and out._fields == tuple(fields)
    if fields:
        assert type(out.path) is sb._RemoteFile and n == 1
        assert out[1:] == value[1:]


def test_sequence_subclass_is_rebuilt_through_its_type(files):
    (out,), _, _ = sb.resolve_file_args((Listish(["a.txt", 1]),), {})
    assert type(out) is Listish and type(out[0]) is sb._RemoteFile and out[1] == 1


@pytest.mark.parametrize("call, message", [
    (lambda: sb.resolve_file_args(["a"], {}), "Argument 'args' has incorrect type (expected tuple, got list)"),
    (lambda: sb.resolve_file_args((), None), "Argument 'kwargs' has incorrect type (expected dict, got NoneType)"),
    (lambda: sb.resolve_file_args(()), "resolve_file_args() missing 1 required positional argument: 'kwargs'"),
    (lambda: sb.resolve_file_args(args=(), kwargs={}, extra=1),
     "resolve_file_args() got an unexpected keyword argument 'extra'"),
])
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_subclass_arguments_are_refused_with_the_note():
    with pytest.raises(TypeError) as info:
        sb.resolve_file_args(One("a"), {})
    assert str(info.value).startswith("Argument 'args' has incorrect type (expected tuple, got One)")
    assert SUBCLASS_NOTE in str(info.value)


def test_names_are_looked_up_at_each_call(files, monkeypatch):
    seen = []
    monkeypatch.setattr(sb, "_resolve_one", lambda obj: seen.append(obj) or "replaced")
    assert sb.resolve_file_args(("a.txt",), {"k": 1}) == (("replaced",), {"k": 1}, 1)
    assert seen == ["a.txt"]


def test_kwargs_changing_size_during_the_scan(files, monkeypatch):
    kwargs = {"a": 1, "b": 2}
    real = sb._is_local_file

    def growing(obj):
        kwargs["new"] = 0
        return real(obj)

    monkeypatch.setattr(sb, "_is_local_file", growing)
    with pytest.raises(RuntimeError, match="dictionary changed size during iteration"):
        sb.resolve_file_args((), kwargs)


def test_errors_while_replacing_propagate(files, monkeypatch):
    def boom(_path):
        raise OSError("archive failed")

    monkeypatch.setattr(sb, "_zip_directory", boom)
    with pytest.raises(OSError, match="archive failed"):
        sb.resolve_file_args(("a.txt",), {"d": "data"})
