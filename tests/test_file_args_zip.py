"""The in-memory archive of a directory argument (``_zip_directory``)."""

import io
import os
import socket
import threading
import time
import zipfile
from pathlib import Path

import pytest

import brivel.spillbox as sb
from support.archives import archive_listing, zipfile_archive


@pytest.fixture
def awkward(tree):
    """Nested directories, an empty one, a non-ASCII and an empty file, a link to a file and
    a link to a directory (listed, not entered)."""
    tree.file("x.txt", b"top level\n" * 50)
    tree.file("sub/y.bin", bytes(range(256)) * 40)
    tree.file("sub/deeper/z.txt", "z")
    tree.file("other/w.txt", "w")
    tree.file("sub/é ü.txt", "unicode")
    tree.file("empty-file", b"")
    tree.dir("empty-dir")
    os.symlink(tree.path("x.txt"), tree.path("sub/link-to-x"))
    tree.symlinked_dir("link-to-sub", "sub")
    return tree


def test_archive_reads_back_as_zipfile_would_write_it(awkward):
    data, count = sb._zip_directory(awkward.root)
    expected, expected_count = zipfile_archive(awkward.root)
    assert archive_listing(data) == archive_listing(expected)
    assert count == expected_count == 7
    names = [m[0] for m in archive_listing(data)]
    assert "sub/link-to-x" in names and not any(n.startswith("link-to-sub") for n in names)
    assert not any(n.endswith("/") for n in names)  # no directory entries
    with zipfile.ZipFile(io.BytesIO(data)) as zf:
        assert zf.read("sub/link-to-x") == (awkward.root / "x.txt").read_bytes()
        assert {i.compress_type for i in zf.infolist()} == {zipfile.ZIP_DEFLATED}


@pytest.mark.parametrize("as_type", [str, Path, os.fsencode], ids=["str", "Path", "bytes"])
def test_dir_path_forms_and_keyword(awkward, as_type):
    data, count = sb._zip_directory(dir_path=as_type(str(awkward.root) + "/"))
    assert archive_listing(data) == archive_listing(zipfile_archive(awkward.root)[0])
    assert count == 7


def test_empty_directory_gives_a_valid_archive_without_members(tree):
    tree.dir("only/empty/dirs")
    data, count = sb._zip_directory(tree.root)
    assert count == 0
    assert zipfile.ZipFile(io.BytesIO(data)).namelist() == []
    assert data == zipfile_archive(tree.root)[0]


def test_old_timestamps_are_clamped_not_refused(tree):
    # zipfile's default refuses a file from before 1980; the archive clamps the time stamp.
    old = tree.file("old.txt", "from 1970")
    os.utime(old, (0, 0))
    data, count = sb._zip_directory(tree.root)
    (member,) = archive_listing(data)
    assert member[1] == (1980, 1, 1, 0, 0, 0) and member[-1] == b"from 1970"


def test_broken_link_inside_fails_with_file_not_found(tree):
    tree.file("a.txt", "a")
    broken = tree.dangling_link("sub/broken")
    with pytest.raises(FileNotFoundError) as info:
        sb._zip_directory(str(tree.root))
    assert info.value.filename == str(broken)


@pytest.mark.parametrize("kind", ["fifo", "socket"])
@pytest.mark.timeout(20)
def test_special_files_are_left_out(tree, kind):
    tree.file("a.txt", "a")
    tree.file("sub/b.txt", "b")
    if kind == "fifo":
        tree.fifo("sub/pipe")  # reading it would block for ever
    else:
        sock = socket.socket(socket.AF_UNIX)
        sock.bind(str(tree.path("sub/sock")))
        sock.close()
    os.symlink(tree.path(f"sub/{'pipe' if kind == 'fifo' else 'sock'}"), tree.path("link-to-special"))
    result = []
    worker = threading.Thread(target=lambda: result.append(sb._zip_directory(tree.root)), daemon=True)
    worker.start()
    worker.join(10)
    assert not worker.is_alive(), "the archive blocked on a special file"
    data, count = result[0]
    assert sorted(zipfile.ZipFile(io.BytesIO(data)).namelist()) == ["a.txt", "sub/b.txt"]
    assert count == 2


@pytest.mark.parametrize("kind", ["missing", "file", "dangling-link", "unreadable"])
def test_directory_that_cannot_be_listed_gives_an_empty_archive(tree, kind):
    # As os.walk, the given directory itself included: nothing listed, nothing raised.
    if kind == "missing":
        top = tree.path("missing")
    elif kind == "file":
        top = tree.file("a-file", "x")
    elif kind == "dangling-link":
        top = tree.dangling_link("broken")
    else:
        top = tree.unreadable_dir("locked", {"a": "1"})
    for given in (top, str(top)):
        data, count = sb._zip_directory(given)
        assert count == 0
        assert zipfile.ZipFile(io.BytesIO(data)).namelist() == []
        assert data == zipfile_archive(top)[0]


def test_unreadable_subdirectory_is_skipped(tree):
    tree.file("a.txt", "a")
    tree.unreadable_dir("locked", {"b": "1"})
    data, count = sb._zip_directory(tree.root)
    assert zipfile.ZipFile(io.BytesIO(data)).namelist() == ["a.txt"] and count == 1


def test_undecodable_name_raises_the_encoders_error(tree):
    tree.file("ok.txt", "ok")
    with open(os.path.join(os.fsencode(tree.root), b"bad-\xff"), "wb") as f:
        f.write(b"x")
    with pytest.raises(UnicodeEncodeError):
        zipfile_archive(tree.root)
    with pytest.raises(UnicodeEncodeError):
        sb._zip_directory(tree.root)


@pytest.mark.parametrize("call, message", [
    (lambda: sb._zip_directory(), "_zip_directory() missing 1 required positional argument: 'dir_path'"),
    (lambda: sb._zip_directory("a", "b"), "_zip_directory() takes 1 positional argument but 2 were given"),
    (lambda: sb._zip_directory(path="a"), "_zip_directory() got an unexpected keyword argument 'path'"),
])
def test_argument_binding(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_compression_runs_without_the_gil(tree):
    # Random bytes compress slowly; a Python thread must keep running meanwhile, so the
    # longest pause between its steps stays well below the length of the call.
    for i in range(4):
        tree.file(f"r{i}.bin", os.urandom(4 << 20))
    done = threading.Event()
    longest = [0.0]

    def tick():
        last = time.monotonic()
        while not done.is_set():
            now = time.monotonic()
            longest[0] = max(longest[0], now - last)
            last = now

    counter = threading.Thread(target=tick)
    counter.start()
    try:
        started = time.monotonic()
        data, count = sb._zip_directory(tree.root)
        took = time.monotonic() - started
    finally:
        done.set()
        counter.join()
    assert count == 4
    assert longest[0] < took / 2, (longest[0], took)
