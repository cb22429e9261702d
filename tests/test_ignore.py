import logging
import os
import random

import pytest

import brivel.workspace as ws
from support.manifest_helpers import reference_matches

# Character classes, negation, "]" first, ranges (reversed and touching), "?", "*",
# characters that are special elsewhere, non-ASCII and surrogates, empty text.
PATTERNS = [
    "", "*", "**", "?", "??", "a", "a*", "*a", "*a*", "a?c", "*.py", "*.pyc", "docs/*.md", "a/*/c",
    "[abc]", "[!abc]", "[]]", "[!]]", "[]a]", "[!]a]", "[a-c]", "[!a-c]", "[c-a]", "[!c-a]", "[a-]",
    "[-a]", "[!-a]", "[a--]", "[--a]", "[a-c-e]", "[a-cx-z]", "[z-ax]", "[a-b-c]", "[!]-a]", "[^a]",
    "[[]", "[", "[a", "[!", "a]", "]", "[\\]", "[\\-a]", "\\", "a\\b", "[&~|]", "[a&&b]", "[.]",
    "(a)", "a+b", "a{1}", "$^", ".", "..", "é", "[é-ü]", "[!é]", "*é?", "\U0001f600*", "[\U0001f600]",
    "\udcff", "[\udc80-\udcff]", "*/", "build/**", "/**", "/build", "#c", "  x  ", "!keep",
]
NAMES = [
    "", "a", "b", "c", "-", "]", "[", "^", "\\", "!", "ab", "abc", "a/c", "a/b/c", "a.py", "x/a.py",
    "a.pyc", "docs/a.md", "docs/a/b.md", "src/docs/a.md", "a]", "a\\b", "&", "~", "|", ".", "..",
    "é", "ü", "ñ", "xé!", "\U0001f600", "\U0001f600x", "\udcff", "\udc80", "build", "build/x",
    "builder.txt", "x/build/y", "a\nb", "x", "keep", "!keep", "(a)", "a+b", "a{1}", "$^",
]


@pytest.mark.parametrize("pattern", PATTERNS)
def test_matching_agrees_with_fnmatchcase(pattern):
    for name in NAMES:
        assert ws.matches_ignore(name, [pattern]) == reference_matches(name, [pattern]), (pattern, name)


def test_random_patterns_agree_with_fnmatchcase():
    rng = random.Random(1234)
    alphabet = "ab-!][*?\\/é.^"
    for _ in range(4000):
        pattern = "".join(rng.choice(alphabet) for _ in range(rng.randint(0, 7)))
        name = "".join(rng.choice("ab-!]\\/é.^[") for _ in range(rng.randint(0, 6)))
        assert ws.matches_ignore(name, [pattern]) == reference_matches(name, [pattern]), (pattern, name)


@pytest.mark.parametrize("text, expected", [
    ("  build/ ", ("build", True)),
    ("# notes", ("", False)),
    ("   ", ("", False)),
    ("/", ("", True)),
    ("logs//", ("logs/", True)),
    ("!keep", ("!keep", False)),
    ("\u2003x\u3000", ("x", False)),
])
def test_normalize_pattern(text, expected):
    assert ws._normalize_pattern(text) == expected
    assert ws._normalize_pattern(pattern=text) == expected


@pytest.mark.parametrize("patterns, path, ignored", [
    (["*.pyc"], "a/b/c.pyc", True),
    (["docs/*.md"], "docs/a/b.md", True),
    (["docs/*.md"], "src/docs/a.md", False),
    (["env/"], "env", True),
    (["env/"], "env/x.py", True),
    (["env/"], "src/env", True),
    (["/build"], "build", False),
    (["/**"], "any/thing", True),
    (["build/**"], "build", True),
    (["build/**"], "build/x/y", True),
    (["build/**"], "builder.txt", True),
    (["build/**"], "build2/a", True),
    (["build/**"], "src/build/x", False),
    ([".DS_Store"], ".ds_store", False),
    (["a/b.pyc"], "\\a\\b.pyc", True),
    (["a/b.pyc"], "/a/b.pyc", True),
    ([], "x", False),
    (["   ", "# c"], "x", False),
    ((p for p in ["x", "*.log"]), "a.log", True),
])
def test_matches_ignore_rules(patterns, path, ignored):
    assert ws.matches_ignore(path, patterns) is ignored


@pytest.mark.parametrize("call", [
    lambda: ws.matches_ignore(b"a", []),
    lambda: ws.matches_ignore(type("S", (str,), {})("a"), []),
    lambda: ws.matches_ignore("a", ["x", 3]),
    lambda: ws.matches_ignore("a", 5),
    lambda: ws._normalize_pattern(None),
])
def test_argument_types(call):
    with pytest.raises(TypeError):
        call()


def test_items_are_read_only_up_to_the_first_match():
    assert ws.matches_ignore("a", ["a", 3]) is True


def test_subclass_message():
    with pytest.raises(TypeError, match=r"Argument 'relpath' has incorrect type \(expected str, got S\)\. "):
        ws.matches_ignore(type("S", (str,), {})("a"), [])


def test_replaced_helpers_are_called(monkeypatch):
    calls = []

    def normalize(p):
        calls.append(p)
        return ("X", False)

    monkeypatch.setattr(ws, "_normalize_pattern", normalize)
    assert ws.matches_ignore("X", ["anything"]) is True
    assert calls == ["anything"]
    monkeypatch.undo()
    seen = []
    monkeypatch.setattr(ws.fnmatch, "fnmatchcase", lambda name, pat: seen.append((name, pat)) or False)
    assert ws.matches_ignore("a/b", ["q"]) is False
    assert seen == [("a/b", "q"), ("a", "q"), ("b", "q")]


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)


def test_load_gitignore(tmp_path):
    assert ws.load_gitignore(tmp_path) == []
    (tmp_path / ".gitignore").mkdir()
    assert ws.load_gitignore(tmp_path) == []
    os.rmdir(tmp_path / ".gitignore")
    write(tmp_path / ".gitignore", b"\r\n*.log \r\n!keep.log\r\n# c\r\n/build/\r\n")
    first = ws.load_gitignore(tmp_path)
    assert first == ["*.log", "/build/"]
    assert ws.load_gitignore(tmp_path) is not first


def test_load_gitignore_line_ends_bom_and_bad_bytes(tmp_path):
    write(tmp_path / ".gitignore", "\ufeff# c\na\x0bb\x1cc\u2028d\re\xff".encode("utf-8") + b"\xfe\n")
    assert ws.load_gitignore(tmp_path) == ["\ufeff# c", "a", "b", "c", "d", "e\xff\ufffd"]


def test_load_gitignore_failure_is_logged(tmp_path, caplog):
    class Unreadable(type(tmp_path)):
        def read_text(self, *a, **k):
            raise OSError("disk on fire")

    write(tmp_path / ".gitignore", b"x\n")
    with caplog.at_level(logging.DEBUG, logger="brivel.workspace"):
        assert ws.load_gitignore(Unreadable(tmp_path)) == []
    record = caplog.records[-1]
    assert (record.levelno, record.getMessage()) == (
        logging.DEBUG, f"Could not parse .gitignore at {tmp_path / '.gitignore'}: disk on fire")


def test_load_gitignore_needs_a_path():
    with pytest.raises(TypeError):
        ws.load_gitignore("some/dir")


def test_detect_project_root(tmp_path, monkeypatch):
    (tmp_path / ".git").mkdir()
    proj = tmp_path / "proj"
    deep = proj / "a" / "b"
    deep.mkdir(parents=True)
    (proj / "pyproject.toml").write_text("")
    assert ws.detect_project_root(deep) == proj.resolve()
    monkeypatch.chdir(deep)
    assert ws.detect_project_root() == proj.resolve()
    assert ws.detect_project_root(start=None) == proj.resolve()


def test_detect_project_root_markers(tmp_path, monkeypatch):
    start = tmp_path / "x" / "y"
    start.mkdir(parents=True)
    monkeypatch.setattr(ws, "_ROOT_MARKERS", ("no-such-marker-anywhere",))
    assert ws.detect_project_root(start / ".." / "y") == start.resolve()
    monkeypatch.setattr(ws, "_ROOT_MARKERS", ("marker",))
    os.symlink(tmp_path / "missing", tmp_path / "x" / "marker")
    assert ws.detect_project_root(start) == start.resolve()
    (tmp_path / "marker").write_text("")
    assert ws.detect_project_root(start) == tmp_path.resolve()
    with pytest.raises(AttributeError):
        ws.detect_project_root("not-a-path")
