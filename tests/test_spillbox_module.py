"""brivel.spillbox at import and the offloader's own state: constants from the environment
(read once per process, so those cases run in a fresh interpreter), the names the body
binds, DataOffloader's construction, pickling and flush_all, the size estimate and the
byte stream."""

import json
import pickle
import sys
import threading

import pytest

import brivel.spillbox as sb

NAMES = [
    "functools", "hashlib", "logging", "os", "sys", "threading", "Path", "Any", "Callable",
    "Optional", "logger", "_DEFAULT_SIZE_THRESHOLD", "_DATA_MULTIPART_THRESHOLD",
    "_DATA_MULTIPART_PART_SIZE", "_DATA_MULTIPART_MAX_PARTS", "_DATA_UPLOAD_CONCURRENCY",
    "_DATA_UPLOAD_MAX_RETRIES", "_stream_bytes", "estimate_arg_size", "_shallow_size",
    "DataOffloader",
]
FILE_ARG_NAMES = {"_RemoteFile", "_RemoteDir", "_zip_directory", "_is_local_file",
                  "_is_local_dir", "_resolve_one", "resolve_file_args"}
ENV_CONSTANTS = ["_DATA_MULTIPART_THRESHOLD", "_DATA_MULTIPART_PART_SIZE",
                 "_DATA_UPLOAD_CONCURRENCY", "_DATA_UPLOAD_MAX_RETRIES"]
DUMP = ("import json, sys\n"
        "import brivel.spillbox as s\n"
        "print(json.dumps({n: getattr(s, n) for n in %r}))\n"
        "print(json.dumps(sorted(m for m in ('httpx', 'cloudpickle') if m in sys.modules)))\n")


class TestImport:
    def test_body_binds_its_names_in_order(self):
        names = [n for n in vars(sb) if not n.startswith("__") and n not in FILE_ARG_NAMES]
        assert names == NAMES
        assert not hasattr(sb, "__all__")
        assert sb.logger is __import__("logging").getLogger("brivel.spillbox")
        assert (sb._DEFAULT_SIZE_THRESHOLD, sb._DATA_MULTIPART_MAX_PARTS,
                sb.DataOffloader.UPLOAD_PROGRESS_THRESHOLD) == (52428800, 10000, 5242880)
        assert sb.DataOffloader.__mro__ == (sb.DataOffloader, object)
        methods = [n for n, v in vars(sb.DataOffloader).items() if callable(v)]
        assert methods == ["__init__", "__getstate__", "__setstate__", "offload_large_args",
                           "_upload", "_upload_direct_to_r2", "_upload_multipart_to_r2",
                           "_abort_multipart", "_upload_legacy", "flush_keys", "flush_all"]
        for name in ("estimate_arg_size", "_stream_bytes", "DataOffloader", "_shallow_size"):
            assert getattr(sb, name).__doc__

    @pytest.mark.parametrize("env, expected", [
        ({}, [134217728, 67108864, 4, 5]),
        ({"PORTVEL_DATA_UPLOAD_CONCURRENCY": " 16 ", "PORTVEL_DATA_UPLOAD_MAX_RETRIES": "-3"},
         [134217728, 67108864, 16, -3]),
        ({"PORTVEL_DATA_MULTIPART_THRESHOLD_BYTES": "+1_000",
          "PORTVEL_DATA_MULTIPART_PART_SIZE_BYTES": "\t0\n"}, [1000, 0, 4, 5]),
    ])
    def test_environment_read_once_like_int(self, run_python, env, expected):
        proc = run_python(DUMP % ENV_CONSTANTS, env=env)
        assert proc.returncode == 0, proc.stderr
        values, loaded = (json.loads(line) for line in proc.stdout.splitlines())
        assert [values[n] for n in ENV_CONSTANTS] == expected
        assert loaded == []  # neither httpx nor cloudpickle is loaded at import

    @pytest.mark.parametrize("value", ["", "4.0", "0x10", "1__0", "four"])
    def test_malformed_variable_fails_the_import_and_a_fixed_retry_runs_the_body(self, run_python, value):
        proc = run_python(
            "import os, sys\n"
            "try:\n"
            "    import brivel.spillbox\n"
            "except ValueError as e:\n"
            "    print(type(e).__name__, e)\n"
            "print('brivel.spillbox' in sys.modules)\n"
            "os.environ['PORTVEL_DATA_UPLOAD_CONCURRENCY'] = '7'\n"
            "import brivel.spillbox as s\n"
            "print(s._DATA_UPLOAD_CONCURRENCY, hasattr(s, 'DataOffloader'))\n",
            env={"PORTVEL_DATA_UPLOAD_CONCURRENCY": value})
        assert proc.returncode == 0, proc.stderr
        lines = proc.stdout.splitlines()
        assert lines[0] == f"ValueError invalid literal for int() with base 10: {value!r}"
        assert lines[1:] == ["False", "7 True"]

    def test_later_environment_changes_are_ignored_but_attributes_are_read_at_call(
            self, monkeypatch, set_const):
        monkeypatch.setenv("PORTVEL_DATA_UPLOAD_CONCURRENCY", "99")
        assert sb._DATA_UPLOAD_CONCURRENCY == 4
        set_const(sb, "_DEFAULT_SIZE_THRESHOLD", 7)
        assert sb.DataOffloader("u", "k")._size_threshold == 7


class TestOffloaderState:
    def test_fields_in_order(self):
        factory = object()
        off = sb.DataOffloader("http://api/", "key", progress_factory=factory)
        assert list(vars(off)) == ["api_url", "api_key", "_size_threshold", "_pending_keys",
                                   "_keys_lock", "_upload_cache", "_progress_factory"]
        assert (off.api_url, off.api_key, off._size_threshold) == ("http://api/", "key", 52428800)
        assert (off._pending_keys, off._upload_cache, off._progress_factory) == ([], {}, factory)
        assert type(off._keys_lock) is type(threading.Lock())

    @pytest.mark.parametrize("threshold, stored", [(1.9, 1), (True, 1), (0, 0), (-5, -5), (None, 52428800)])
    def test_numeric_threshold_is_converted(self, threshold, stored):
        off = sb.DataOffloader("u", "k", threshold)
        assert off._size_threshold == stored and type(off._size_threshold) is int

    class Text(str):
        pass

    @pytest.mark.parametrize("kwargs, name, got", [
        ({"api_url": None, "api_key": "k"}, "api_url", "NoneType"),
        ({"api_url": "u", "api_key": Text("k")}, "api_key", "Text"),
        ({"api_url": "u", "api_key": "k", "size_threshold": "10"}, "size_threshold", "str"),
        # the threshold is converted before the strings are checked
        ({"api_url": 1, "api_key": "k", "size_threshold": "10"}, "size_threshold", "str"),
    ])
    def test_wrong_types(self, kwargs, name, got):
        with pytest.raises(TypeError, match=rf"Argument '{name}' has incorrect type \(expected \w+, got {got}\)"):
            sb.DataOffloader(**kwargs)

    def test_interpreter_messages_for_arguments(self):
        with pytest.raises(TypeError, match=r"DataOffloader.__init__\(\) missing 1 required positional argument: 'api_key'"):
            sb.DataOffloader("u")
        with pytest.raises(TypeError, match=r"takes from 3 to 5 positional arguments but 6 were given"):
            sb.DataOffloader("u", "k", 1, None, 2)
        with pytest.raises(TypeError, match="unexpected keyword argument 'timeout'"):
            sb.DataOffloader("u", "k", timeout=3)

    def test_pickling_drops_the_lock_and_keeps_the_rest(self):
        off = sb.DataOffloader("u", "secret", 9)
        off._pending_keys.append("k1")
        off._upload_cache["h"] = "k1"
        off.extra = 1
        state = off.__getstate__()
        assert list(state) == ["api_url", "api_key", "_size_threshold", "_pending_keys",
                               "_upload_cache", "_progress_factory", "extra"]
        assert "_keys_lock" in vars(off)
        off._keys_lock.acquire()  # a held lock must not travel
        copy = pickle.loads(pickle.dumps(off))
        assert (copy.api_key, copy._pending_keys, copy._upload_cache, copy.extra) == ("secret", ["k1"], {"h": "k1"}, 1)
        assert copy._keys_lock is not off._keys_lock and copy._keys_lock.acquire(blocking=False)

    def test_flush_all(self, monkeypatch, brivel_logs):
        off = sb.DataOffloader("u", "k")
        calls = []
        monkeypatch.setattr(sb.DataOffloader, "flush_keys", lambda self, keys: calls.append(list(keys)))
        off._upload_cache["h"] = "a"
        assert off.flush_all() is None
        assert calls == [] and brivel_logs.buffer == [] and off._upload_cache == {"h": "a"}
        off._pending_keys.extend(["a", "b"])
        off.flush_all()
        assert calls == [["a", "b"]] and off._upload_cache == {}
        [record] = brivel_logs.buffer
        assert (record.levelname, record.msg, record.args) == ("INFO", "Flushing %d remaining data key(s)\u2026", (2,))


class Sized:
    def __init__(self, **attrs):
        self.__dict__.update(attrs)


class Raising:
    def __init__(self, exc):
        self.exc = exc

    def __getattr__(self, name):
        if name.startswith("__"):
            raise AttributeError(name)
        raise self.exc


class NbytesProperty:
    def __init__(self, exc):
        self.exc = exc

    @property
    def nbytes(self):
        raise self.exc


class Frame:
    def __init__(self, usage):
        self.usage = usage

    def memory_usage(self, deep=False):
        assert deep is True
        return self.usage


class Usage:
    def sum(self):
        return 77.9


class TestSizeEstimate:
    @pytest.mark.parametrize("obj, expected", [
        (b"", 0), (bytearray(10), 10), ("héllo", 5), (memoryview(b"x" * 10), 10),
        (Sized(_data=b"x" * 1000, _filename="f", nbytes=5), 1000),
        (Sized(_data=b"x" * 1000, _dirname="d"), sys.getsizeof(Sized(_data=b"x" * 1000, _dirname="d"))),
        (Sized(nbytes=5.9, memory_usage=None), 5),
        (Sized(nbytes=None), 0),
        (Frame(123), 123), (Frame(Usage()), 77),
        (Raising(ValueError("no")), 0),
        (NbytesProperty(AttributeError()), sys.getsizeof(NbytesProperty(AttributeError()))),
        (NbytesProperty(RuntimeError()), 0),
    ])
    def test_probes_in_order(self, obj, expected):
        assert sb.estimate_arg_size(obj) == expected

    def test_containers_one_level_deep(self):
        items = [b"x" * 1048576] * 10
        assert sb.estimate_arg_size(items) == sys.getsizeof(items) + 10 * 1048576
        inner = [b"x" * 100]
        assert sb.estimate_arg_size((inner,)) == sys.getsizeof((inner,)) + sys.getsizeof(inner)
        d = {"a": b"x" * 100}
        assert sb.estimate_arg_size(d) == sys.getsizeof(d) + 101
        # a file reference inside a container counts only its object size
        ref = Sized(_data=b"x" * 1000, _filename="f")
        assert sb.estimate_arg_size([ref]) == sys.getsizeof([ref]) + sys.getsizeof(ref)
        # an item _shallow_size cannot measure makes the whole estimate 0
        assert sb.estimate_arg_size([NbytesProperty(RuntimeError())]) == 0

    def test_item_size_is_looked_up_at_each_call(self, set_const):
        set_const(sb, "_shallow_size", lambda obj: 1)
        assert sb.estimate_arg_size([b"abc", b"de"]) == sys.getsizeof([b"abc", b"de"]) + 2

    def test_interrupt_propagates(self):
        with pytest.raises(KeyboardInterrupt):
            sb.estimate_arg_size(Raising(KeyboardInterrupt()))

    @pytest.mark.parametrize("obj, expected", [
        (Sized(nbytes=1048576), 1048576), (Sized(nbytes=3.7), 3), (memoryview(b"0123456789"), 10),
        (b"x" * 10, 10), ("héllo", 5), ([b"x" * 100], sys.getsizeof([b"x" * 100])),
        (Sized(_data=b"x" * 1000, _filename="f"), sys.getsizeof(Sized(_data=b"", _filename="f"))),
        (NbytesProperty(AttributeError()), sys.getsizeof(NbytesProperty(AttributeError()))),
    ])
    def test_shallow_size(self, obj, expected):
        assert sb._shallow_size(obj) == expected
        assert sb._shallow_size(obj=obj) == expected

    @pytest.mark.parametrize("obj, exc", [(NbytesProperty(RuntimeError()), RuntimeError),
                                          (Sized(nbytes="many"), ValueError)])
    def test_shallow_size_propagates(self, obj, exc):
        with pytest.raises(exc):
            sb._shallow_size(obj)

    @pytest.mark.parametrize("call", [lambda: sb.estimate_arg_size(), lambda: sb.estimate_arg_size(1, 2),
                                      lambda: sb.estimate_arg_size(x=1)])
    def test_argument_count(self, call):
        with pytest.raises(TypeError):
            call()


class TestStreamBytes:
    def test_chunks_and_reports_after_each_chunk_is_taken(self):
        reports = []
        stream = sb._stream_bytes(b"abcdefg", lambda sent, total: reports.append((sent, total)), 3)
        assert next(stream) == b"abc" and reports == []
        assert next(stream) == b"def" and reports == [(3, 7)]
        assert next(stream) == b"g" and reports == [(3, 7), (6, 7)]
        with pytest.raises(StopIteration):
            next(stream)
        assert reports == [(3, 7), (6, 7), (7, 7)]
        with pytest.raises(StopIteration):
            next(stream)
        assert len(reports) == 3

    def test_empty_payload_and_failing_callback(self):
        calls = []
        assert list(sb._stream_bytes(b"", calls.append)) == [] and calls == []

        def boom(sent, total):
            raise ValueError("ignored")
        assert list(sb._stream_bytes(b"x" * 10, boom, chunk_size=4)) == [b"xxxx", b"xxxx", b"xx"]

    def test_interrupt_from_the_callback_propagates(self):
        from support.fakes import Abort

        def stop(sent, total):
            raise Abort()
        stream = sb._stream_bytes(b"x" * 10, stop, 4)
        next(stream)
        with pytest.raises(Abort):
            next(stream)

    @pytest.mark.parametrize("data, kwargs, name", [
        (bytearray(b"x"), {}, "data"), ("x", {}, "data"), (memoryview(b"x"), {}, "data"),
        (b"x", {"chunk_size": "3"}, "chunk_size"),
    ])
    def test_arguments_checked_at_the_call(self, data, kwargs, name):
        with pytest.raises(TypeError, match=f"Argument '{name}'"):
            sb._stream_bytes(data, **kwargs)

    def test_chunk_size_edges(self):
        assert list(sb._stream_bytes(b"abc", None, 2.9)) == [b"ab", b"c"]
        assert list(sb._stream_bytes(b"abc", None, -1)) == []
        stream = sb._stream_bytes(b"abc", None, 0)  # nothing happens before iteration
        with pytest.raises(ValueError, match="must not be zero"):
            next(stream)
