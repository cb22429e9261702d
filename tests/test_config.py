"""Import-time configuration of brivel.workspace. Constants are read once per process, so
every environment case runs in a fresh interpreter."""

import json

import pytest

CONSTANTS = [
    "MULTIPART_THRESHOLD_BYTES", "MULTIPART_PART_SIZE_BYTES", "R2_MAX_OBJECT_BYTES",
    "UPLOAD_SMALL_FANOUT", "UPLOAD_MEMORY_BUDGET_BYTES", "UPLOAD_TARGET_INFLIGHT_PARTS",
    "UPLOAD_TARGET_INFLIGHT_PARTS_SMALL", "UPLOAD_SMALL_PART_BYTES",
    "UPLOAD_LARGE_FILE_CONCURRENCY", "UPLOAD_MAX_RETRIES", "OUTPUT_DOWNLOAD_FANOUT",
    "_DOWNLOAD_CHUNK_BYTES", "UPLOAD_HASH_WORKERS", "HASH_CACHE_ENABLED", "_UPLOAD_ADAPTIVE",
    "_TRANSFER_POOL_CONNECTIONS", "_UPLOAD_SOCKET_CEILING", "DEFAULT_MAX_BYTES", "WARN_BYTES",
    "CHUNK_SIZE", "MULTIPART_MAX_PARTS",
]

DUMP = (
    "import json, os\n"
    "{prelude}\n"
    "import brivel.workspace as w\n"
    "print(json.dumps({{n: getattr(w, n) for n in {names!r}}}))\n"
)


def constants(run_python, env=None, prelude=""):
    proc = run_python(DUMP.format(prelude=prelude, names=CONSTANTS), env=env)
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout)


def test_defaults(run_python):
    import os

    c = constants(run_python)
    assert c == {
        "MULTIPART_THRESHOLD_BYTES": 134217728, "MULTIPART_PART_SIZE_BYTES": 16777216,
        "R2_MAX_OBJECT_BYTES": 5492060580741, "UPLOAD_SMALL_FANOUT": 64,
        "UPLOAD_MEMORY_BUDGET_BYTES": 1073741824, "UPLOAD_TARGET_INFLIGHT_PARTS": 16,
        "UPLOAD_TARGET_INFLIGHT_PARTS_SMALL": 16, "UPLOAD_SMALL_PART_BYTES": 33554432,
        "UPLOAD_LARGE_FILE_CONCURRENCY": 3, "UPLOAD_MAX_RETRIES": 5, "OUTPUT_DOWNLOAD_FANOUT": 8,
        "_DOWNLOAD_CHUNK_BYTES": 8388608, "UPLOAD_HASH_WORKERS": min(os.cpu_count() or 4, 8),
        "HASH_CACHE_ENABLED": True, "_UPLOAD_ADAPTIVE": True,
        "_TRANSFER_POOL_CONNECTIONS": 136, "_UPLOAD_SOCKET_CEILING": 136,
        "DEFAULT_MAX_BYTES": 5368709120, "WARN_BYTES": 104857600, "CHUNK_SIZE": 1048576,
        "MULTIPART_MAX_PARTS": 10000,
    }


@pytest.mark.parametrize("env, expected", [
    ({"PORTVEL_UPLOAD_TARGET_INFLIGHT_PARTS": " +20 "},
     {"UPLOAD_TARGET_INFLIGHT_PARTS": 20, "UPLOAD_TARGET_INFLIGHT_PARTS_SMALL": 20}),
    ({"PORTVEL_UPLOAD_TARGET_INFLIGHT_PARTS": "40"},
     {"UPLOAD_TARGET_INFLIGHT_PARTS_SMALL": 40, "_TRANSFER_POOL_CONNECTIONS": 192,
      "_UPLOAD_SOCKET_CEILING": 192}),
    ({"PORTVEL_UPLOAD_TARGET_INFLIGHT_PARTS_SMALL": "100"},
     {"UPLOAD_TARGET_INFLIGHT_PARTS": 16, "_TRANSFER_POOL_CONNECTIONS": 372,
      "_UPLOAD_SOCKET_CEILING": 256}),
    ({"PORTVEL_MULTIPART_PART_SIZE_BYTES": "0"},
     {"MULTIPART_PART_SIZE_BYTES": 0, "_TRANSFER_POOL_CONNECTIONS": 512,
      "_UPLOAD_SOCKET_CEILING": 256}),
    ({"PORTVEL_MULTIPART_PART_SIZE_BYTES": "67108864"}, {"_TRANSFER_POOL_CONNECTIONS": 120}),
    ({"PORTVEL_HASH_WORKERS": "2"}, {"UPLOAD_HASH_WORKERS": 2}),
    ({"PORTVEL_UPLOAD_MAX_RETRIES": "-16"}, {"UPLOAD_MAX_RETRIES": -16}),
    ({"PORTVEL_UPLOAD_SMALL_FANOUT": "1_000"}, {"UPLOAD_SMALL_FANOUT": 1000}),
    ({"PORTVEL_OUTPUT_DOWNLOAD_FANOUT": "\t16\n", "PORTVEL_DOWNLOAD_CHUNK_BYTES": "0",
      "PORTVEL_R2_MAX_OBJECT_BYTES": "123", "PORTVEL_UPLOAD_SMALL_PART_BYTES": "7",
      "PORTVEL_UPLOAD_LARGE_FILE_CONCURRENCY": "9", "PORTVEL_MULTIPART_THRESHOLD_BYTES": "5",
      "PORTVEL_UPLOAD_MEMORY_BUDGET_BYTES": "10"},
     {"OUTPUT_DOWNLOAD_FANOUT": 16, "_DOWNLOAD_CHUNK_BYTES": 0, "R2_MAX_OBJECT_BYTES": 123,
      "UPLOAD_SMALL_PART_BYTES": 7, "UPLOAD_LARGE_FILE_CONCURRENCY": 9,
      "MULTIPART_THRESHOLD_BYTES": 5, "UPLOAD_MEMORY_BUDGET_BYTES": 10,
      # 64 + max(9 * 16, 10 // 16777216) + 8
      "_TRANSFER_POOL_CONNECTIONS": 216}),
])
def test_environment_values(run_python, env, expected):
    c = constants(run_python, env)
    assert {k: c[k] for k in expected} == expected


@pytest.mark.parametrize("prelude, expected", [
    ("os.cpu_count = lambda: None", 4),
    ("os.cpu_count = lambda: 0", 4),
    ("os.cpu_count = lambda: 32", 8),
    ("os.cpu_count = lambda: 3", 3),
])
def test_hash_workers_default_follows_cpu_count(run_python, prelude, expected):
    assert constants(run_python, prelude=prelude)["UPLOAD_HASH_WORKERS"] == expected


def test_hash_workers_default_is_computed_even_when_set(run_python):
    prelude = "calls = []\nos.cpu_count = lambda: calls.append(1) or 32"
    code = DUMP.format(prelude=prelude, names=["UPLOAD_HASH_WORKERS"]) + "print(len(calls))\n"
    proc = run_python(code, env={"PORTVEL_HASH_WORKERS": "2"})
    assert proc.returncode == 0, proc.stderr
    values, calls = proc.stdout.splitlines()
    assert json.loads(values) == {"UPLOAD_HASH_WORKERS": 2} and calls == "1"


@pytest.mark.parametrize("text", ["", "1e6", "8.0", "0x10", "16 MiB", "1__0", "five"])
def test_malformed_integer_fails_the_import(run_python, text):
    code = (
        "try:\n"
        "    import brivel.workspace\n"
        "except ValueError as e:\n"
        "    print(type(e).__name__, e)\n"
    )
    proc = run_python(code, env={"PORTVEL_UPLOAD_MAX_RETRIES": text})
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == f"ValueError invalid literal for int() with base 10: {text!r}"


def test_first_malformed_variable_is_reported(run_python):
    code = (
        "try:\n"
        "    import brivel.workspace\n"
        "except ValueError as e:\n"
        "    print(e)\n"
    )
    env = {"PORTVEL_HASH_WORKERS": "bad-last", "PORTVEL_UPLOAD_SMALL_FANOUT": "bad-8",
           "PORTVEL_MULTIPART_PART_SIZE_BYTES": "bad-7"}
    proc = run_python(code, env=env)
    assert proc.stdout.strip() == "invalid literal for int() with base 10: 'bad-7'"


def test_failed_import_registers_nothing_and_can_be_retried(run_python):
    code = (
        "import os, sys\n"
        "try:\n"
        "    import brivel.workspace\n"
        "except ValueError:\n"
        "    print('failed', 'brivel.workspace' in sys.modules)\n"
        "os.environ['PORTVEL_UPLOAD_MAX_RETRIES'] = '3'\n"
        "import brivel.workspace as w\n"
        "print(w.UPLOAD_MAX_RETRIES, w._TRANSFER_POOL_CONNECTIONS)\n"
    )
    proc = run_python(code, env={"PORTVEL_UPLOAD_MAX_RETRIES": "x"})
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split() == ["failed", "False", "3", "136"]


@pytest.mark.parametrize("text, on", [
    ("0", False), ("false", False), ("False", False), ("", False),
    ("1", True), ("FALSE", True), ("off", True), ("no", True), (" 0", True), ("0 ", True),
])
def test_switches(run_python, text, on):
    c = constants(run_python, {"PORTVEL_HASH_CACHE": text, "PORTVEL_UPLOAD_ADAPTIVE": text})
    assert (c["HASH_CACHE_ENABLED"], c["_UPLOAD_ADAPTIVE"]) == (on, on)


def test_switch_never_fails_on_undecodable_text(run_python):
    code = (
        "import os\n"
        "os.environb[b'PORTVEL_HASH_CACHE'] = b'\\xff'\n"
        "import brivel.workspace as w\n"
        "print(w.HASH_CACHE_ENABLED)\n"
    )
    proc = run_python(code)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "True"


def test_module_namespace_after_import(run_python):
    code = (
        "import sys, threading, json\n"
        "before = threading.active_count()\n"
        "import brivel.workspace as w\n"
        "ns = vars(w)\n"
        "print(json.dumps({\n"
        "  'threads': threading.active_count() - before,\n"
        "  'all': w.__all__,\n"
        "  'modules': [ns[n].__name__ for n in ['dataclasses', 'fnmatch', 'hashlib', 'inspect',"
        " 'logging', 'os', 're', 'sys', 'threading', 'httpx']],\n"
        "  'lazy': [n for n in ['json', 'random', 'time', 'base64', 'binascii', 'concurrent',"
        " 'zipfile', '_flowtune'] if n in ns],\n"
        "  'names': [ns[n] is getattr(m, n) for m, n in [(__import__('dataclasses'), 'dataclass'),"
        " (__import__('dataclasses'), 'field'), (__import__('pathlib'), 'Path'),"
        " (__import__('typing'), 'Optional'), (__import__('typing'), 'Union'),"
        " (__import__('typing'), 'Any'), (__import__('typing'), 'Callable'),"
        " (__import__('typing'), 'Iterable')]],\n"
        "  'logger': w.logger.name,\n"
        "  'flowtune': 'brivel._flowtune' in sys.modules,\n"
        "  'ignore': list(w.DEFAULT_IGNORE_PATTERNS),\n"
        "  'roots': list(w._ROOT_MARKERS),\n"
        "  'expiry': list(w._URL_EXPIRY_MARKERS),\n"
        "  're': [w._WIN_ABS_PATH_RE.pattern, w._WIN_ABS_PATH_RE.flags],\n"
        "}))\n"
    )
    proc = run_python(code)
    assert proc.returncode == 0, proc.stderr
    got = json.loads(proc.stdout)
    assert got["threads"] == 0
    assert got["all"] == [
        "DEFAULT_IGNORE_PATTERNS", "DEFAULT_MAX_BYTES", "WARN_BYTES", "Upload", "Output",
        "Workspace", "BuiltManifest", "ManifestFile", "WorkspaceClient", "WorkspaceTooLargeError",
        "build_manifest", "detect_project_root", "download_outputs", "load_gitignore",
        "matches_ignore", "upload_workspace"]
    assert got["modules"] == ["dataclasses", "fnmatch", "hashlib", "inspect", "logging", "os",
                              "re", "sys", "threading", "httpx"]
    assert got["lazy"] == [] and not got["flowtune"]
    assert all(got["names"])
    assert got["logger"] == "brivel.workspace"
    assert got["ignore"] == [
        ".git/", "__pycache__/", "*.pyc", "*.pyo", ".venv/", "venv/", "env/", "node_modules/",
        ".cursor/", ".idea/", ".vscode/", ".DS_Store", ".pytest_cache/", ".mypy_cache/",
        ".ruff_cache/", ".brivel_cache/", "*.egg-info/", ".coverage", "htmlcov/"]
    assert got["roots"] == [".git", "pyproject.toml", "setup.py", "package.json", "Cargo.toml",
                            "go.mod"]
    assert got["expiry"] == ["expired", "request has expired", "signaturedoesnotmatch",
                             "token has expired", "authenticationrequired",
                             "authorizationqueryparameters"]
    pattern, flags = got["re"]
    assert len(pattern) == 50 and flags == 32  # re.UNICODE only: no extra flags


def test_windows_path_pattern_groups():
    import brivel.workspace as w

    found = [m.group(1) for m in w._WIN_ABS_PATH_RE.finditer(
        "x = 'C:\\\\data\\\\in.csv' + \"d:/tmp/a b-c.txt' + 'C:relative' + '1:/no'")]
    assert found == ["C:\\\\data\\\\in.csv", "d:/tmp/a b-c.txt"]


def test_environment_changes_after_import_change_nothing(monkeypatch):
    import brivel.workspace as w

    monkeypatch.setenv("PORTVEL_UPLOAD_MAX_RETRIES", "99")
    monkeypatch.setenv("PORTVEL_HASH_CACHE", "0")
    assert w.UPLOAD_MAX_RETRIES == 5 and w.HASH_CACHE_ENABLED is True


def test_other_modules_import(run_python):
    proc = run_python("import brivel, brivel.spillbox, brivel.overflow, brivel.workspace as w\n"
                      "print(type(w).__name__, w.__file__.endswith('.so'))")
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split() == ["module", "True"]


def test_every_public_name_is_defined():
    import brivel.workspace as w

    namespace = {}
    exec("from brivel.workspace import *", namespace)
    assert all(name in namespace for name in w.__all__)


@pytest.mark.parametrize("name", ["brivel.workspace", "brivel.spillbox", "brivel.overflow"])
def test_second_module_object_is_refused(run_python, name):
    # The body runs once per process: a second module object made from the same spec must
    # not take the namespace its functions read from the first one.
    code = f"""
        import importlib, importlib.util, sys
        first = importlib.import_module({name!r})
        spec = importlib.util.find_spec({name!r})
        second = importlib.util.module_from_spec(spec)
        try:
            spec.loader.exec_module(second)
        except RuntimeError as e:
            print("refused:", e)
        print(sys.modules[{name!r}] is first)
    """
    proc = run_python(code)
    assert proc.stdout.splitlines() == [
        f"refused: {name} is already loaded in this process and cannot be loaded a second time; "
        "use the module in sys.modules",
        "True",
    ], proc.stderr


def test_first_module_keeps_its_namespace_after_a_refused_second(run_python, tmp_path):
    cache = tmp_path / "cache.json"
    cache.write_text('{"version": 1, "entries": {"a": {}}}')
    code = f"""
        import importlib.util
        from pathlib import Path
        import brivel.workspace as ws
        spec = importlib.util.find_spec("brivel.workspace")
        try:
            spec.loader.exec_module(importlib.util.module_from_spec(spec))
        except RuntimeError:
            pass
        print(ws._load_hash_cache(Path({str(cache)!r})))
        ws.HASH_CACHE_ENABLED = False
        print(ws._load_hash_cache(Path({str(cache)!r})))
    """
    proc = run_python(code)
    assert proc.stdout.splitlines() == ["{'a': {}}", "{}"], proc.stderr
