import io
import logging
import sys

import pytest

import brivel.workspace as ws

HINT = ("   The VM is Linux and has no 'C:' drive. Use a relative path (auto-workspace mirrors your project "
        "root and chdirs into it), or map the directory explicitly with Upload(local=..., to='/data/...') and "
        "reference the POSIX target inside your function.")


@pytest.mark.parametrize("text, expected", [
    ("C:", False), ("C:/", True), ("C:\\", True), ("c:/data", True), ("1:/data", False), ("é:/x", True),
    ("C:data", False), ("/C:/x", False), ("", False),
])
def test_is_windows_absolute(text, expected):
    assert ws._is_windows_absolute(text) is expected


@pytest.mark.parametrize("value", [None, b"C:/x", type("S", (str,), {})("C:/x")])
def test_is_windows_absolute_needs_exact_str(value):
    with pytest.raises(TypeError):
        ws._is_windows_absolute(value)


@pytest.mark.parametrize("text, expected", [
    ("", []),
    ('a = "C:/data/in.csv"; b = "C:/data/in.csv"; c = \'D:/x\'', ["C:/data/in.csv", "D:/x"]),
    ("x = 'C:/mixed\"", ["C:/mixed"]),
    ("C:/bare/path", []),
    ('"C:/"', []),
    ('"C:/a(b)"  "C:/~x" "C:/a,b" "C:/é"', []),
    ('"C:/with some spaces/x"', ["C:/with some spaces/x"]),
    ('"C:/' + "a" * 256 + '"', ["C:/" + "a" * 256]),
    ('"C:/' + "a" * 257 + '"', []),
    ('p = "C:\\\\Users\\\\me"', ["C:\\\\Users\\\\me"]),
])
def test_scan(text, expected):
    assert ws._scan_string_for_win_paths(text) == expected


def test_scan_needs_str():
    with pytest.raises(TypeError):
        ws._scan_string_for_win_paths(None)


class Trainer:
    def fit(self):
        return "E:/datasets/train"


def test_detect_all_sources_in_order():
    kinds = [ws.Upload(local=".", to="D:\\x"), ws.Upload(local=".", to=None), ws.Upload(local=".", to=""),
             ws.Upload(local=".", to="/data"), ws.Upload(local=".", to="D:\\x")]
    found = ws.detect_windows_absolute_paths(func=Trainer.fit, args=("C:/a", 5, "/tmp/x", "D:/b", "C:/a"),
                                             kwargs={"out": "C:/o", "n": ["C:/list"]}, uploads=kinds)
    assert found == [
        ("function source (Trainer.fit)", "E:/datasets/train"),
        ("args[0]", "C:/a"), ("args[3]", "D:/b"), ("args[4]", "C:/a"),
        ("kwargs['out']", "C:/o"),
        ("Upload(to='D:\\\\x')", "D:\\x"),
    ]


def test_detect_defaults_and_builtins():
    assert ws.detect_windows_absolute_paths() == []
    assert ws.detect_windows_absolute_paths(func=len, kwargs=None) == []
    assert ws.detect_windows_absolute_paths(args=(["C:/a"],), kwargs={}) == []


def test_detect_str_subclass_values():
    S = type("S", (str,), {})
    value = S("C:/sub")
    found = ws.detect_windows_absolute_paths(args=(value,), kwargs={"k": value},
                                             uploads=[ws.Upload(local=".", to=value)])
    assert [label for label, _ in found] == ["args[0]", "kwargs['k']", "Upload(to='C:/sub')"]
    assert all(path is value for _, path in found)


@pytest.mark.parametrize("kwargs, error", [
    (dict(args=["C:/a"]), TypeError),
    (dict(kwargs=[]), TypeError),
    (dict(uploads=5), TypeError),
    (dict(uploads=[object()]), AttributeError),
    (dict(uploads=[ws.Upload(local=".", to=5)]), TypeError),
])
def test_detect_errors(kwargs, error):
    with pytest.raises(error):
        ws.detect_windows_absolute_paths(**kwargs)


def test_detect_is_keyword_only():
    with pytest.raises(TypeError):
        ws.detect_windows_absolute_paths(None)


def test_warn_text_stream_and_log(caplog):
    stream = io.StringIO()
    with caplog.at_level(logging.WARNING, logger="brivel.workspace"):
        assert ws.warn_windows_absolute_paths([("args[0]", "C:/data/in%s.csv")], stream=stream) is None
    expected = ("WARNING: Detected absolute Windows path(s) that will NOT resolve inside the Linux VM:\n"
                "   - C:/data/in%s.csv   (from args[0])\n" + HINT)
    assert stream.getvalue() == expected + "\n"
    # The text is the record's message itself, with no arguments to format.
    assert [(r.levelno, r.msg, r.args) for r in caplog.records] == [(logging.WARNING, expected, ())]


def test_warn_empty_and_default_stream(caplog, monkeypatch):
    stream = io.StringIO()
    monkeypatch.setattr(sys, "stderr", stream)
    with caplog.at_level(logging.WARNING, logger="brivel.workspace"):
        ws.warn_windows_absolute_paths([])
        assert stream.getvalue() == "" and caplog.records == []
        ws.warn_windows_absolute_paths(findings=[("l", "C:/x")])
    assert "   - C:/x   (from l)" in stream.getvalue()


def test_warn_survives_a_broken_stream(caplog):
    class Broken:
        def write(self, text):
            raise OSError("broken pipe")

    with caplog.at_level(logging.WARNING, logger="brivel.workspace"):
        ws.warn_windows_absolute_paths([("l", "C:/x")], stream=Broken())
    assert caplog.records[-1].getMessage().endswith(HINT)


@pytest.mark.parametrize("findings, error", [((("l", "p"),), TypeError), ([("l",)], ValueError),
                                             ([5], TypeError)])
def test_warn_bad_findings(findings, error):
    stream = io.StringIO()
    with pytest.raises(error):
        ws.warn_windows_absolute_paths(findings, stream=stream)
    assert stream.getvalue() == ""


def test_kwargs_changed_during_the_test_do_not_crash(run_python):
    # A replaced test that empties the keyword dict: the held value stays valid and the
    # loop ends as dict iteration does.
    child = run_python("""
        import gc
        import brivel.workspace as ws
        kw = {}
        class S(str):
            pass
        def emptying(s):
            kw.clear()
            gc.collect()
            return True
        ws._is_windows_absolute = emptying
        kw.update({f"k{i}": S("C:/" + "x" * 100 + str(i)) for i in range(100)})
        try:
            ws.detect_windows_absolute_paths(kwargs=kw)
        except RuntimeError as e:
            print(e)
    """, timeout=60)
    assert (child.returncode, child.stdout) == (0, "dictionary changed size during iteration\n"), child.stderr
