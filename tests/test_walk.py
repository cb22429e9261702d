import os

import pytest

import brivel.workspace as ws
from support.manifest_helpers import make_tree, permissions_bind, reference_matches

DEFAULTS = list(ws.DEFAULT_IGNORE_PATTERNS)


def walk(root, *, base_rel="", ignore=None, follow=False, cap=None, acc=None):
    return ws._walk_tree(root, base_rel=base_rel, ignore=DEFAULTS if ignore is None else ignore,
                         follow_symlinks=follow, cap_bytes=cap, accumulated=[0] if acc is None else acc)


def rels(gen):
    return sorted(rel for _, rel in gen)


def test_lazy_nothing_listed_before_first_item(tmp_path):
    root = tmp_path / "later"
    acc = [0]
    gen = walk(root, acc=acc)
    make_tree(root, {"a.txt": "abc"})
    assert type(gen).__name__ == "generator" and gen.__name__ == "_walk_tree"
    assert iter(gen) is gen
    assert list(gen) == [(root / "a.txt", "a.txt")]
    assert acc == [3]
    assert list(gen) == []


@pytest.mark.parametrize("kwargs, message", [
    (dict(ignore=[], follow_symlinks=False, cap_bytes=None, accumulated=[0]),
     r"missing 1 required keyword-only argument: 'base_rel'"),
    (dict(base_rel="", follow_symlinks=False, accumulated=[0]),
     r"missing 2 required keyword-only arguments: 'ignore' and 'cap_bytes'"),
    (dict(base_rel=1, ignore=[], follow_symlinks=False, cap_bytes=None, accumulated=[0]),
     r"Argument 'base_rel' has incorrect type \(expected str, got int\)"),
    (dict(base_rel="", ignore=(), follow_symlinks=False, cap_bytes=None, accumulated=[0]),
     r"Argument 'ignore' has incorrect type \(expected list, got tuple\)"),
    (dict(base_rel="", ignore=[], follow_symlinks=False, cap_bytes="1", accumulated=[0]),
     r"Argument 'cap_bytes' has incorrect type \(expected int, got str\)"),
    (dict(base_rel="", ignore=[], follow_symlinks=False, cap_bytes=None, accumulated=(0,)),
     r"Argument 'accumulated' has incorrect type \(expected list, got tuple\)"),
])
def test_arguments_checked_at_call(tmp_path, kwargs, message):
    with pytest.raises(TypeError, match=message):
        ws._walk_tree(tmp_path, **kwargs)


def test_positional_arguments(tmp_path):
    with pytest.raises(TypeError, match=r"takes 1 positional argument but 2 were given"):
        ws._walk_tree(tmp_path, "", ignore=[], follow_symlinks=False, cap_bytes=None, accumulated=[0])
    gen = ws._walk_tree(root=tmp_path, base_rel="", ignore=[], follow_symlinks=0, cap_bytes=None, accumulated=[0])
    assert list(gen) == []


def test_pruned_directory_is_never_entered(tmp_path, monkeypatch):
    make_tree(tmp_path, {"keep.txt": "k", "node_modules/pkg/index.js": "x" * 10, "src/a.py": "a"})
    tested = []
    original = ws.matches_ignore

    def spy(rel, patterns):
        tested.append(rel)
        return original(rel, patterns)

    monkeypatch.setattr(ws, "matches_ignore", spy)
    acc = [0]
    assert rels(walk(tmp_path, acc=acc)) == ["keep.txt", "src/a.py"]
    assert acc == [2]
    assert not any(t.startswith("node_modules/") for t in tested)
    assert "node_modules" in tested


def test_directories_and_files_by_the_same_rules(tmp_path):
    make_tree(tmp_path, {"pkg.egg-info/PKG-INFO": "x", "x.egg-info": "f", "sub/.git": "gitfile",
                         ".git/config": "c", "a.pyc": "", "ok": ""})
    assert rels(walk(tmp_path)) == ["ok"]


def test_base_rel_segments_take_part(tmp_path):
    make_tree(tmp_path, {"a.txt": "", "sub/b.txt": ""})
    assert rels(walk(tmp_path, base_rel="__mounts__/data", ignore=["data"])) == []
    assert rels(walk(tmp_path, base_rel=".")) == ["./a.txt", "./sub/b.txt"]
    assert rels(walk(tmp_path, base_rel="x\\y")) == ["x\\y/a.txt", "x\\y/sub/b.txt"]


def test_cap(tmp_path):
    make_tree(tmp_path, {"a": "x" * 600, "b": "y" * 400})
    acc = [0]
    assert len(list(walk(tmp_path, cap=1000, acc=acc))) == 2 and acc == [1000]
    acc = [0]
    gen = walk(tmp_path, cap=999.9, acc=acc)
    with pytest.raises(ws.WorkspaceTooLargeError) as info:
        list(gen)
    assert acc == [1000]
    assert str(info.value).startswith("Workspace exceeds 0.00 GB cap (triggered at '")
    assert str(info.value).endswith("'). Trim with .gitignore or raise Workspace(max_size_bytes=...).")
    assert list(gen) == []


def test_cap_message_and_shared_counter(tmp_path):
    make_tree(tmp_path, {"data/big.bin": "z"})
    acc = [5368709120]
    with pytest.raises(ws.WorkspaceTooLargeError, match=None) as info:
        next(walk(tmp_path, cap=ws.DEFAULT_MAX_BYTES, acc=acc))
    assert str(info.value) == ("Workspace exceeds 5.00 GB cap (triggered at 'data/big.bin'). "
                               "Trim with .gitignore or raise Workspace(max_size_bytes=...).")
    assert acc == [5368709121]


def test_cap_zero_lets_empty_files_through(tmp_path):
    make_tree(tmp_path, {"empty": "", "sub/full": "1"})
    gen = walk(tmp_path, cap=0)
    assert next(gen)[1] == "empty"
    with pytest.raises(ws.WorkspaceTooLargeError):
        next(gen)


def test_counter_needs_an_item(tmp_path):
    make_tree(tmp_path, {"a": "1"})
    with pytest.raises(IndexError):
        list(walk(tmp_path, acc=[]))


def test_symbolic_links(tmp_path):
    outside = make_tree(tmp_path / "outside", {"t.txt": "12345", "d/in.txt": "1"})
    root = make_tree(tmp_path / "root", {"plain.txt": "ab"})
    os.symlink(outside / "t.txt", root / "flink")
    os.symlink(outside / "d", root / "dlink")
    os.symlink(tmp_path / "missing", root / "dangling")
    acc = [0]
    assert rels(walk(root, acc=acc)) == ["plain.txt"] and acc == [2]
    acc = [0]
    assert rels(walk(root, follow=True, acc=acc)) == ["dlink/in.txt", "flink", "plain.txt"]
    assert acc == [8]


@pytest.mark.timeout(30)
def test_link_loops_end_and_distinct_paths_are_kept(tmp_path):
    root = make_tree(tmp_path / "root", {"a/f.txt": "1", "shared/s.txt": "22"})
    os.symlink(root, root / "a" / "up")
    os.symlink("..", root / "a" / "parent")
    os.symlink(root / "shared", root / "a" / "alias")
    got = rels(walk(root, follow=True))
    assert got == ["a/alias/s.txt", "a/f.txt", "shared/s.txt"]


def test_special_files_are_yielded(tmp_path):
    os.mkfifo(tmp_path / "pipe")
    assert list(walk(tmp_path)) == [(tmp_path / "pipe", "pipe")]


def test_backslashes(tmp_path):
    make_tree(tmp_path, {"a\\b/c.txt": "", "x\\y.txt": ""})
    assert rels(walk(tmp_path)) == ["a/b/c.txt", "x\\y.txt"]


def test_vanishing_directory_is_skipped(tmp_path):
    target = make_tree(tmp_path / "target", {"t": "1"})
    root = make_tree(tmp_path / "root", {"first": "1", "z/keep": "2"})
    os.symlink(target, root / "link")
    gen = walk(root, follow=True)
    assert next(gen)[1] == "first"
    os.unlink(target / "t")
    os.rmdir(target)
    assert [rel for _, rel in gen] == ["z/keep"]


@pytest.mark.skipif(not permissions_bind(), reason="permissions do not bind this process")
def test_unreadable_directory_is_skipped(tmp_path):
    make_tree(tmp_path, {"locked/x": "1", "open/y": "2"})
    os.chmod(tmp_path / "locked", 0)
    try:
        assert rels(walk(tmp_path)) == ["open/y"]
    finally:
        os.chmod(tmp_path / "locked", 0o755)


def test_files_before_subdirectories(tmp_path):
    make_tree(tmp_path, {"d1/d2/deep": "", "d1/mid": "", "top": ""})
    order = [rel for _, rel in walk(tmp_path)]
    assert order == ["top", "d1/mid", "d1/d2/deep"]


def test_native_and_namespace_matching_agree(tmp_path, monkeypatch):
    names = {"src/a.py": "", "src/a.pyc": "", "build/out.o": "", "docs/x.md": "", "docs/sub/y.md": "",
             "é/ü.txt": "", "[x]/y": "", "we!rd/-a": "", "notes.log": "", "keep.log": "", "env": "",
             "a\\b/c": "", "deep/er/than/this.bin": ""}
    make_tree(tmp_path, names)
    os.makedirs(os.fsencode(tmp_path) + b"/bad\xff", exist_ok=True)
    open(os.fsencode(tmp_path) + b"/bad\xff/n\xfe", "w").close()
    patterns = DEFAULTS + ["*.log", "build/**", "docs/*.md", "[!a-z]*", "env/", "?\\b", "/x"]
    native = [(p, r) for p, r in walk(tmp_path, ignore=patterns)]
    monkeypatch.setattr(ws, "matches_ignore", reference_matches)
    through = [(p, r) for p, r in walk(tmp_path, ignore=patterns)]
    assert native == through
    assert {"src/a.py", "bad\udcff/n\udcfe"} <= {r for _, r in native}


def test_changes_between_items_take_effect(tmp_path, monkeypatch):
    make_tree(tmp_path, {f"f{i}": "" for i in range(5)})
    patterns = []
    gen = walk(tmp_path, ignore=patterns)
    next(gen)
    patterns.append("f*")
    assert list(gen) == []
    patterns.clear()
    gen = walk(tmp_path, ignore=patterns)
    next(gen)
    monkeypatch.setattr(ws, "matches_ignore", lambda rel, pats: True)
    assert list(gen) == []


def test_bad_pattern_item_fails_on_iteration(tmp_path):
    make_tree(tmp_path, {"a": ""})
    gen = walk(tmp_path, ignore=["x", 5])
    with pytest.raises(TypeError):
        next(gen)


def test_generator_protocol(tmp_path):
    make_tree(tmp_path, {"a": "", "b": ""})
    gen = walk(tmp_path)
    next(gen)
    gen.close()
    with pytest.raises(StopIteration):
        next(gen)
    gen = walk(tmp_path)
    with pytest.raises(TypeError):
        gen.send(1)
    assert gen.send(None)[1] in ("a", "b")
    with pytest.raises(KeyError):
        gen.throw(KeyError("x"))
    assert list(gen) == []


def test_reentry_is_refused(tmp_path, monkeypatch):
    make_tree(tmp_path, {"a": ""})
    gen = walk(tmp_path)
    monkeypatch.setattr(ws, "matches_ignore", lambda rel, pats: next(gen))
    with pytest.raises(ValueError, match="generator already executing"):
        next(gen)


@pytest.mark.parametrize("follow", [False, True])
def test_entries_beyond_the_path_limit_are_skipped(tmp_path, follow):
    (tmp_path / "top.txt").write_text("t")
    fd = os.open(tmp_path, os.O_RDONLY)
    depth = 0
    try:
        while len(str(tmp_path)) + depth * 201 < 4200:
            name = "d" * 200
            os.mkdir(name, dir_fd=fd)
            inner = os.open(name, os.O_RDONLY, dir_fd=fd)
            os.close(fd)
            fd = inner
            depth += 1
            leaf = os.open("f" * 50, os.O_WRONLY | os.O_CREAT, dir_fd=fd)
            os.close(leaf)
    finally:
        os.close(fd)
    got = [rel for _, rel in walk(tmp_path, follow=follow)]
    limit = 4096 - len(str(tmp_path)) - 1
    assert "top.txt" in got
    assert got and all(len(rel) < limit for rel in got)
    assert len(got) == 1 + sum(1 for k in range(1, depth + 1) if k * 201 + 50 < limit)


def test_follow_flag_is_read_when_the_walk_starts(tmp_path):
    class Flag:
        calls = 0

        def __bool__(self):
            Flag.calls += 1
            raise RuntimeError("no truth value")

    make_tree(tmp_path, {"a": ""})
    gen = walk(tmp_path, follow=Flag())
    assert Flag.calls == 0
    with pytest.raises(RuntimeError, match="no truth value"):
        next(gen)
    assert list(gen) == []


def test_throw_takes_a_traceback_and_refuses_non_exceptions(tmp_path):
    make_tree(tmp_path, {"a": "", "b": ""})
    gen = walk(tmp_path)
    with pytest.raises(TypeError, match="exceptions must be classes or instances deriving from BaseException"):
        gen.throw(5)
    assert next(gen)[1] in ("a", "b")
    with pytest.raises(KeyError):
        gen.throw(KeyError, KeyError("k"), None)
    assert list(gen) == []
