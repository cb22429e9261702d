"""_extract_output_zip: the unwrap rule, member tests before anything is written, and no
links or permission bits taken from the archive."""

import os
import stat
import zipfile

import pytest

import brivel.workspace as ws
from support.cloud import FakeCloud


def archive(tmp_path, members, name="res.part"):
    path = tmp_path / name
    path.write_bytes(FakeCloud.make_zip(members))
    return path


def tree(root):
    return sorted(p.relative_to(root).as_posix() + ("/" if p.is_dir() else "") for p in root.rglob("*"))


@pytest.mark.parametrize("members, expected", [
    # All files in a folder named like the destination: unwrapped into it.
    ({"results/a.txt": b"a", "results/sub/b.txt": b"b"}, ["results/", "results/a.txt", "results/sub/", "results/sub/b.txt"]),
    ({"results/": None, "results/a.txt": b"a"}, ["results/", "results/a.txt"]),
    # Plain content goes below the destination.
    ({"a.txt": b"a", "sub/b.txt": b"b"}, ["results/", "results/a.txt", "results/sub/", "results/sub/b.txt"]),
    # Not all under the folder, or a folder of another case: no unwrapping.
    ({"results/a.txt": b"a", "c.txt": b"c"}, ["results/", "results/c.txt", "results/results/", "results/results/a.txt"]),
    ({"Results/a.txt": b"a"}, ["results/", "results/Results/", "results/Results/a.txt"]),
    # A directory entry outside the folder of an unwrapped archive lands beside it.
    ({"results/a.txt": b"a", "other/": None}, ["other/", "results/", "results/a.txt"]),
    # Directory entries only, or nothing at all.
    ({"d/": None}, ["results/", "results/d/"]),
    ({}, ["results/"]),
])
def test_unwrap_rule(tmp_path, members, expected):
    out = tmp_path / "out"
    zpath = archive(tmp_path, members)
    assert ws._extract_output_zip(zpath, out / "results") is None
    assert tree(out) == expected
    assert zpath.exists()


@pytest.mark.parametrize("bad", ["/etc/x", "\\x", "a/../../b", "a/../b", "a/..", ".."])
def test_unsafe_names_are_refused_before_anything_is_written(tmp_path, bad):
    zpath = archive(tmp_path, {"first.txt": b"1", bad: b"evil", "/also/bad": b"2"})
    target = tmp_path / "out" / "res"
    with pytest.raises(RuntimeError) as info:
        ws._extract_output_zip(zpath, target)
    assert str(info.value) == "Unsafe output zip entry: " + bad
    assert tree(tmp_path / "out") == ["res/"]


def test_link_already_on_disk_leading_outside_is_refused(tmp_path):
    outside = tmp_path / "outside"
    outside.mkdir()
    target = tmp_path / "out" / "res"
    target.mkdir(parents=True)
    (target / "link").symlink_to(outside)
    zpath = archive(tmp_path, {"link/x.txt": b"x"})
    with pytest.raises(RuntimeError, match="^Unsafe output zip entry: link/x.txt$") as info:
        ws._extract_output_zip(zpath, target)
    assert isinstance(info.value.__cause__, ValueError)
    assert list(outside.iterdir()) == []


def test_links_and_mode_bits_in_the_archive_are_not_applied(tmp_path):
    zpath = tmp_path / "res.part"
    with zipfile.ZipFile(zpath, "w") as zf:
        link = zipfile.ZipInfo("link")
        link.external_attr = (stat.S_IFLNK | 0o777) << 16
        zf.writestr(link, "/etc/passwd")
        setuid = zipfile.ZipInfo("tool")
        setuid.external_attr = (stat.S_IFREG | 0o6777) << 16
        zf.writestr(setuid, b"#!/bin/sh\n")
    target = tmp_path / "res"
    ws._extract_output_zip(zpath, target)
    assert not (target / "link").is_symlink() and (target / "link").read_text() == "/etc/passwd"
    mode = (target / "tool").stat().st_mode
    assert not mode & (stat.S_ISUID | stat.S_ISGID | stat.S_IXUSR | stat.S_IXGRP | stat.S_IXOTH)


def test_existing_content_is_merged(tmp_path):
    target = tmp_path / "res"
    target.mkdir()
    (target / "keep.txt").write_bytes(b"keep")
    (target / "a.txt").write_bytes(b"old")
    ws._extract_output_zip(archive(tmp_path, {"a.txt": b"new"}), target)
    assert (target / "keep.txt").read_bytes() == b"keep" and (target / "a.txt").read_bytes() == b"new"


def test_not_an_archive(tmp_path):
    bogus = tmp_path / "res.part"
    bogus.write_bytes(b"not a zip")
    with pytest.raises(zipfile.BadZipFile):
        ws._extract_output_zip(bogus, tmp_path / "res")
    assert (tmp_path / "res").is_dir()


def test_arguments(tmp_path):
    zpath = archive(tmp_path, {"a": b"a"})
    ws._extract_output_zip(zip_path=zpath, target=tmp_path / "kw")
    assert (tmp_path / "kw/a").exists()
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'target'"):
        ws._extract_output_zip(zpath)
    assert os.path.exists(zpath)
