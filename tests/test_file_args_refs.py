"""The shipped references ``_RemoteFile`` and ``_RemoteDir``: construction, text forms,
materialisation on first use and pickling."""

import io
import os
import pathlib
import pickle
import tempfile
import zipfile

import cloudpickle
import pytest

import brivel.spillbox as sb

SUBCLASS_NOTE = "Subclasses of built-in types are not accepted here"


class BytesSub(bytes):
    pass


class StrSub(str):
    pass


def zip_of(members: dict) -> bytes:
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w", zipfile.ZIP_DEFLATED) as zf:
        for name, data in members.items():
            zf.writestr(name, data)
    return buf.getvalue()


@pytest.fixture
def tmp_root(tmp_path, monkeypatch):
    """A private default temporary location; returns a function listing what was made there."""
    root = tmp_path / "tmproot"
    root.mkdir()
    monkeypatch.setattr(tempfile, "tempdir", str(root))
    return root


def made(root, prefix):
    return sorted(p for p in root.iterdir() if p.name.startswith(prefix))


# ---------------------------------------------------------------------------- construction


@pytest.mark.parametrize("make, message", [
    (lambda: sb._RemoteFile(bytearray(b"x"), "a"),
     "Argument 'data' has incorrect type (expected bytes, got bytearray)"),
    (lambda: sb._RemoteFile(None, "a"), "Argument 'data' has incorrect type (expected bytes, got NoneType)"),
    (lambda: sb._RemoteFile(b"x", None), "Argument 'filename' has incorrect type (expected str, got NoneType)"),
    (lambda: sb._RemoteDir(b"", "d", "3"), "Argument 'file_count' has incorrect type (expected int, got str)"),
    (lambda: sb._RemoteDir(None, 1, "3"), "Argument 'file_count' has incorrect type (expected int, got str)"),
    (lambda: sb._RemoteDir(None, 1, 3), "Argument 'data' has incorrect type (expected bytes, got NoneType)"),
    (lambda: sb._RemoteDir(b"", 1, 3), "Argument 'dirname' has incorrect type (expected str, got int)"),
    (lambda: sb._RemoteFile(b"x"), "_RemoteFile.__init__() missing 1 required positional argument: 'filename'"),
    (lambda: sb._RemoteFile(b"x", "a", 1),
     "_RemoteFile.__init__() takes 3 positional arguments but 4 were given"),
    (lambda: sb._RemoteDir(data=b"", dirname="d"),
     "_RemoteDir.__init__() missing 1 required positional argument: 'file_count'"),
    (lambda: sb._RemoteFile(b"x", filename="a", name="b"),
     "_RemoteFile.__init__() got an unexpected keyword argument 'name'"),
])
def test_constructor_type_errors(make, message):
    with pytest.raises(TypeError) as info:
        make()
    assert str(info.value) == message


@pytest.mark.parametrize("make, argument", [
    (lambda: sb._RemoteFile(BytesSub(b"x"), "a"), "data"),
    (lambda: sb._RemoteFile(b"x", StrSub("a")), "filename"),
    (lambda: sb._RemoteDir(b"", StrSub("d"), 1), "dirname"),
])
def test_subclasses_are_refused_with_the_note(make, argument):
    with pytest.raises(TypeError) as info:
        make()
    assert str(info.value).startswith(f"Argument '{argument}' has incorrect type (expected ")
    assert SUBCLASS_NOTE in str(info.value)


@pytest.mark.parametrize("given, stored", [(True, 1), (2.9, 2), (7, 7)])
def test_file_count_is_converted(given, stored):
    ref = sb._RemoteDir(b"", "d", given)
    assert ref._file_count == stored and type(ref._file_count) is int


def test_state_is_the_plain_instance_dict():
    f = sb._RemoteFile(data=b"abc", filename="a.txt")
    d = sb._RemoteDir(b"zz", "data", 2)
    assert list(vars(f).items()) == [("_data", b"abc"), ("_filename", "a.txt"), ("_path", None)]
    assert list(vars(d).items()) == [("_data", b"zz"), ("_dirname", "data"), ("_file_count", 2), ("_path", None)]
    for cls in (sb._RemoteFile, sb._RemoteDir):
        assert cls.__bases__ == (os.PathLike,)
        assert cls.__module__ == "brivel.spillbox"
        methods = [k for k, v in vars(cls).items() if callable(v)]
        assert methods == ["__init__", "_materialize", "__fspath__", "__str__", "__repr__"]
    assert isinstance(f, os.PathLike) and not isinstance(f, str)
    assert f != sb._RemoteFile(b"abc", "a.txt") and hash(f) == object.__hash__(f)


# ----------------------------------------------------------------------------- text forms


def test_repr_texts_and_no_materialisation(tmp_root):
    f = sb._RemoteFile(b"abc", "a.txt")
    d = sb._RemoteDir(b"x" * 230, "data", 2)
    one = sb._RemoteDir(b"x", "it's", True)
    assert repr(f) == "RemoteFile('a.txt', 3 bytes)"
    assert repr(d) == "RemoteDir('data', 2 files, 230 bytes)"
    assert repr(one) == "RemoteDir(\"it's\", 1 files, 1 bytes)"
    assert f._path is None and list(tmp_root.iterdir()) == []


# ------------------------------------------------------------------------- materialisation


def test_file_is_written_once_on_first_use(tmp_root):
    ref = sb._RemoteFile(b"payload\x00bytes", "a.txt")
    path = str(ref)
    (tmpdir,) = made(tmp_root, "brivel_files_")
    assert path == os.path.join(str(tmpdir), "a.txt")
    assert pathlib.Path(path).read_bytes() == b"payload\x00bytes"
    os.remove(path)
    assert os.fspath(ref) == path and ref._materialize() == path
    assert not os.path.exists(path)  # not written again
    assert made(tmp_root, "brivel_files_") == [tmpdir]


@pytest.mark.parametrize("use", [
    os.fspath, str, lambda r: f"{r}", lambda r: "%s" % r, lambda r: format(r),
    lambda r: open(r, "rb").close() or r._path,
], ids=["fspath", "str", "fstring", "percent", "format", "open"])
def test_every_path_use_materialises(tmp_root, use):
    ref = sb._RemoteFile(b"", "empty")
    out = use(ref)
    assert out == ref._path and os.path.getsize(ref._path) == 0


def test_directory_is_extracted_once(tmp_root):
    ref = sb._RemoteDir(zip_of({"x": b"1", "sub/y": b"22"}), "data", 2)
    path = os.fspath(ref)
    (tmpdir,) = made(tmp_root, "brivel_dirs_")
    assert path == os.path.join(str(tmpdir), "data")
    assert pathlib.Path(os.path.join(path, "sub", "y")).read_bytes() == b"22"
    assert str(ref) == path and made(tmp_root, "brivel_dirs_") == [tmpdir]


@pytest.mark.parametrize("name", ["", "."])
def test_directory_named_empty_or_dot_is_the_temporary_directory(tmp_root, name):
    ref = sb._RemoteDir(zip_of({"x": b"1"}), name, 1)
    path = os.fspath(ref)
    (tmpdir,) = made(tmp_root, "brivel_dirs_")
    assert os.path.samefile(path, tmpdir)
    assert path == os.path.join(str(tmpdir), name)
    assert os.listdir(tmpdir) == ["x"]


def test_empty_archive_still_gives_a_directory(tmp_root):
    ref = sb._RemoteDir(zip_of({}), "nothing", 0)
    path = os.fspath(ref)
    assert os.path.isdir(path) and os.listdir(path) == []


def test_not_an_archive_raises_at_first_use_and_is_not_remembered(tmp_root):
    ref = sb._RemoteDir(b"not a zip archive", "data", 1)
    with pytest.raises(zipfile.BadZipFile):
        os.fspath(ref)
    assert ref._path is None
    ref._data = zip_of({"x": b"1"})
    path = os.fspath(ref)
    assert pathlib.Path(os.path.join(path, "x")).read_bytes() == b"1"


def test_failed_file_write_is_not_remembered(tmp_root):
    ref = sb._RemoteFile(b"x", "a.txt")
    ref._data = "text, not bytes"
    with pytest.raises(TypeError):
        os.fspath(ref)
    assert ref._path is None
    ref._data = b"fixed"
    assert pathlib.Path(os.fspath(ref)).read_bytes() == b"fixed"


def test_failed_write_reports_the_os_error(tmp_root):
    ref = sb._RemoteFile(b"x", "n" * 300)  # longer than a file name may be
    with pytest.raises(OSError) as info:
        os.fspath(ref)
    assert info.value.filename.endswith("n" * 300)
    assert ref._path is None


@pytest.mark.parametrize("value, shown", [(7, "int"), (b"/tmp/x", "bytes")])
def test_non_str_path_is_refused(value, shown):
    ref = sb._RemoteFile(b"x", "a")
    ref._path = value
    for use in (os.fspath, str, lambda r: r._materialize()):
        with pytest.raises(TypeError) as info:
            use(ref)
        assert str(info.value) == f"Expected str, got {shown}"


def test_subclass_override_of_materialize_is_used():
    class Fixed(sb._RemoteFile):
        def _materialize(self):
            return "/fixed/path"

    ref = Fixed(b"x", "a")
    assert os.fspath(ref) == str(ref) == "/fixed/path"


# -------------------------------------------------------------- names that would escape


def escape_names(tmp_path):
    outside = tmp_path / "outside"
    return outside, [
        ("..", None), ("../evil.txt", "evil.txt"), (str(outside / "abs.txt"), "abs.txt"),
        ("a/b.txt", "b.txt"), ("a\x00b.txt", "b.txt"), ("", None), (".", None), ("x/..", "x"),
        ("/", None),
    ]


def test_file_names_cannot_escape_the_temporary_directory(tmp_root, tmp_path):
    outside, cases = escape_names(tmp_path)
    for name, kept in cases:
        before = set(made(tmp_root, "brivel_files_"))
        path = os.fspath(sb._RemoteFile(b"data", name))
        (tmpdir,) = set(made(tmp_root, "brivel_files_")) - before
        assert os.path.dirname(path) == str(tmpdir), name
        if kept:
            assert os.path.basename(path) == kept, name
        assert pathlib.Path(path).read_bytes() == b"data"
    assert not outside.exists() and not (tmp_path / "evil.txt").exists()
    assert sorted(os.listdir(tmp_root)) == sorted(p.name for p in made(tmp_root, "brivel_files_"))


def test_backslash_is_an_ordinary_character(tmp_root):
    path = os.fspath(sb._RemoteFile(b"d", "..\\evil"))
    assert os.path.basename(path) == "..\\evil"


def test_directory_names_cannot_escape_the_temporary_directory(tmp_root, tmp_path):
    outside, cases = escape_names(tmp_path)
    for name, kept in cases:
        before = set(made(tmp_root, "brivel_dirs_"))
        path = os.fspath(sb._RemoteDir(zip_of({"m.txt": b"member"}), name, 1))
        (tmpdir,) = map(str, set(made(tmp_root, "brivel_dirs_")) - before)
        if name in ("", "."):
            assert os.path.normpath(path) == tmpdir
        else:
            assert os.path.dirname(path) == tmpdir, name
            if kept:
                assert os.path.basename(path) == kept
        assert pathlib.Path(os.path.join(path, "m.txt")).read_bytes() == b"member"
        os.remove(os.path.join(path, "m.txt"))
    assert not outside.exists() and not (tmp_path / "m.txt").exists()
    assert not (tmp_root / "m.txt").exists()


# ------------------------------------------------------------------------------- pickling


@pytest.mark.parametrize("dumps", [pickle.dumps, cloudpickle.dumps], ids=["pickle", "cloudpickle"])
def test_fresh_reference_pickles_unmaterialised(dumps, tmp_root):
    f = pickle.loads(dumps(sb._RemoteFile(b"abc", "a.txt")))
    d = pickle.loads(dumps(sb._RemoteDir(b"zz", "data", 2)))
    assert type(f) is sb._RemoteFile and vars(f) == {"_data": b"abc", "_filename": "a.txt", "_path": None}
    assert vars(d) == {"_data": b"zz", "_dirname": "data", "_file_count": 2, "_path": None}
    assert list(tmp_root.iterdir()) == []


def test_materialised_reference_keeps_its_path_through_pickling(tmp_root):
    ref = sb._RemoteFile(b"abc", "a.txt")
    path = str(ref)
    os.remove(path)
    again = pickle.loads(pickle.dumps(ref))
    assert os.fspath(again) == path and not os.path.exists(path)
    assert len(made(tmp_root, "brivel_files_")) == 1
