"""The surface of the native modules as help() and inspect see it: docstrings, signatures
that match the .pyi stubs, annotations, pickling by reference, and the interpreter's own
messages for wrong calls."""

import ast
import functools
import inspect
import pickle
import pydoc
from pathlib import Path

import cloudpickle
import pytest

import brivel
import brivel.overflow
import brivel.spillbox
import brivel.workspace as ws

RECORDS = {"Upload", "Output", "Workspace", "ManifestFile", "BuiltManifest"}
# The classes whose methods are checked, per module.
MODULES = {
    ws: ("WorkspaceClient", *sorted(RECORDS)),
    brivel.spillbox: ("DataOffloader", "_RemoteFile", "_RemoteDir"),
    brivel.overflow: ("_OverflowMonitor", "_WrapRecord"),
}


def _stub(module):
    """{name: node} of the stub's module level, and {class: {method: node}}."""
    tree = ast.parse(Path(brivel.__file__).with_name(module.__name__.rpartition(".")[2] + ".pyi").read_text())
    names, methods = {}, {}
    for node in tree.body:
        if isinstance(node, ast.AnnAssign):
            names[node.target.id] = node
        elif isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            names[node.name] = node
        if isinstance(node, ast.ClassDef):
            methods[node.name] = {n.name: n for n in node.body if isinstance(n, ast.FunctionDef)}
    return names, methods


STUBS = {m: _stub(m) for m in MODULES}
STUB_NAMES, STUB_METHODS = STUBS[ws]


def _imported(name, value):
    """Names the module body imported from elsewhere (modules, typing and pathlib names)."""
    return inspect.ismodule(value) or getattr(value, "__module__", None) in ("typing", "pathlib", "dataclasses")


def _runtime_names():
    return {n for n, v in vars(ws).items()
            if not (n.startswith("__") and n.endswith("__")) and not _imported(n, v)}


def _functions(module=ws):
    return sorted(n for n, v in vars(module).items() if inspect.isroutine(v) and not _imported(n, v))


def _methods(module=ws):
    out = []
    stub_methods = STUBS[module][1]
    for cls in MODULES[module]:
        for name, value in vars(getattr(module, cls)).items():
            if name in stub_methods.get(cls, {}) and callable(value):
                out.append((cls, name))
    return out


FUNCTIONS = [(m, n) for m in MODULES for n in _functions(m)]
METHODS = [(m, c, n) for m in MODULES for c, n in _methods(m)]


def _ids(table):
    return [".".join([row[0].__name__.rpartition(".")[2], *row[1:]]) for row in table]


def _stub_params(node: ast.FunctionDef):
    """[(name, kind, default)] of a stub function; default is inspect's empty when absent."""
    a = node.args
    out = []
    positional = a.posonlyargs + a.args
    defaults = [inspect.Parameter.empty] * (len(positional) - len(a.defaults)) + list(a.defaults)
    for arg, default in zip(positional, defaults):
        out.append((arg.arg, inspect.Parameter.POSITIONAL_OR_KEYWORD, default))
    if a.vararg:
        out.append((a.vararg.arg, inspect.Parameter.VAR_POSITIONAL, inspect.Parameter.empty))
    for arg, default in zip(a.kwonlyargs, a.kw_defaults):
        out.append((arg.arg, inspect.Parameter.KEYWORD_ONLY, inspect.Parameter.empty if default is None else default))
    if a.kwarg:
        out.append((a.kwarg.arg, inspect.Parameter.VAR_KEYWORD, inspect.Parameter.empty))
    return [(n, k, d if d is inspect.Parameter.empty else _literal(d)) for n, k, d in out]


def _literal(node):
    if isinstance(node, ast.Constant) and node.value is Ellipsis:
        return ...
    return ast.literal_eval(node)


def _runtime_params(fn):
    return [(p.name, p.kind, p.default) for p in inspect.signature(fn).parameters.values()]


def test_the_stub_names_what_the_module_defines():
    assert _runtime_names() == set(STUB_NAMES)


@pytest.mark.parametrize("module, name", FUNCTIONS, ids=_ids(FUNCTIONS))
def test_function_signature_matches_the_stub(module, name):
    assert _runtime_params(getattr(module, name)) == _stub_params(STUBS[module][0][name])


@pytest.mark.parametrize("module, cls, name", METHODS, ids=_ids(METHODS))
def test_method_signature_matches_the_stub(module, cls, name):
    assert _runtime_params(getattr(getattr(module, cls), name)) == _stub_params(STUBS[module][1][cls][name])


@pytest.mark.parametrize("module", [m for m in MODULES if m is not ws], ids=lambda m: m.__name__)
def test_every_function_and_method_has_a_docstring(module):
    for name in _functions(module):
        doc = getattr(module, name).__doc__
        assert doc and not doc.startswith(name + "("), name
    for cls, name in _methods(module):
        assert getattr(getattr(module, cls), name).__doc__, (cls, name)
    text = pydoc.render_doc(module, renderer=pydoc.plaintext)
    assert "(*args, **kwargs)" not in text


def test_docstrings():
    assert ws.__doc__ and "build_manifest" in ws.__doc__
    for name in _functions():
        doc = getattr(ws, name).__doc__
        assert doc and not doc.startswith(name + "("), name
    for cls, name in _methods():
        assert getattr(getattr(ws, cls), name).__doc__, (cls, name)
    assert ws.WorkspaceClient.__doc__
    assert "max_size_bytes" in ws.WorkspaceTooLargeError.__doc__
    # Records keep the bare form of their definition.
    assert ws.Upload.__doc__ == "Upload(local: 'Union[str, Path]', to: 'Optional[str]' = None, " \
                                "follow_symlinks: 'bool' = False)"


def test_help_reads_as_documentation():
    text = pydoc.render_doc(ws, renderer=pydoc.plaintext)
    assert "build_manifest(spec, *, extra_ignore=None)" in text
    assert "upload_workspace(job_id, built, client, *, on_file=None, max_workers=8)" in text
    assert "post_manifest(self, job_id, manifest)" in text
    assert "-> object" not in text
    for name in _functions():
        assert f"{name}(*args" not in text


def _reference(qualname, fn):
    """A Python function with the signature of `fn` (a method: of a class with that name)."""
    sig = inspect.signature(fn)
    cls, _, name = qualname.rpartition(".")
    scope = {}
    if cls:
        exec(f"class {cls}:\n    def {name}{sig}: pass", scope)
        return getattr(object.__new__(scope[cls]), name)
    exec(f"def {name}{sig}: pass", scope)
    return scope[name]


def _bad_calls(fn, method):
    params = list(inspect.signature(fn).parameters.values())[1 if method else 0:]
    positional = [p for p in params if p.kind is p.POSITIONAL_OR_KEYWORD]
    calls = [((object(),) * (len(positional) + 1), {}), ((), {"bogus": 1})]
    if any(p.default is p.empty for p in params):
        calls.append(((), {}))
    if positional:
        calls.append(((object(),), {positional[0].name: object()}))
    return calls


CALLABLES = [(m, n, n) for m, n in FUNCTIONS] + [(m, f"{c}.{n}", (c, n)) for m, c, n in METHODS]


@pytest.mark.parametrize("module, qualname, where", CALLABLES, ids=_ids([(m, q) for m, q, _ in CALLABLES]))
def test_wrong_calls_raise_the_interpreters_messages(module, qualname, where):
    if isinstance(where, tuple):
        cls = getattr(module, where[0])
        target = getattr(cls.__new__(cls), where[1])
        unbound = getattr(cls, where[1])
    else:
        target = unbound = getattr(module, where)
    reference = _reference(qualname, unbound)
    for args, kwargs in _bad_calls(unbound, isinstance(where, tuple)):
        with pytest.raises(TypeError) as expected:
            reference(*args, **kwargs)
        with pytest.raises(TypeError) as got:
            target(*args, **kwargs)
        assert str(got.value) == str(expected.value), (args, kwargs)


@pytest.mark.parametrize("call, message", [
    (lambda: ws.build_manifest("/path"), "build_manifest() argument 'spec' must be a Workspace, not str"),
    (lambda: ws.build_manifest(ws.Workspace(root=None, uploads=["x"])),
     "Workspace.uploads[0] must be an Upload, not str"),
    (lambda: ws.build_manifest(ws.Workspace(root=None, max_size_bytes="big")),
     "Argument 'max_size_bytes' has incorrect type (expected int, got str)"),
])
def test_errors_name_what_was_passed(call, message):
    with pytest.raises(TypeError) as e:
        call()
    assert str(e.value) == message


# ---------------------------------------------------------------- annotations of brivel.spillbox

_TRANSPORT = {"serialized": "bytes", "size": "int", "upload_timeout": "float", "return": "Optional[str]"}
_TO_STR = {"return": "str"}

# Every function and method of the module, with its annotations as text.
SPILLBOX_ANNOTATIONS = {
    "_stream_bytes": {"data": "bytes", "on_progress": "Optional[Callable[[int, int], None]]", "chunk_size": "int"},
    "estimate_arg_size": {"obj": "Any", "return": "int"},
    "_shallow_size": {"obj": "Any", "return": "int"},
    "_zip_directory": {"dir_path": "Path", "return": "tuple[bytes, int]"},
    "_is_local_file": {"obj": "Any", "return": "bool"},
    "_is_local_dir": {"obj": "Any", "return": "bool"},
    "_resolve_one": {"obj": "Any", "return": "Any"},
    "resolve_file_args": {"args": "tuple[Any, ...]", "kwargs": "dict[str, Any]",
                          "return": "tuple[tuple[Any, ...], dict[str, Any], int]"},
    "DataOffloader.__init__": {"api_url": "str", "api_key": "str", "size_threshold": "int | None",
                               "progress_factory": "Optional[Callable[[str, int], Any]]"},
    "DataOffloader.__getstate__": {},
    "DataOffloader.__setstate__": {},
    "DataOffloader.offload_large_args": {
        "func": "Callable[..., Any]", "args": "tuple[Any, ...]", "kwargs": "dict[str, Any]",
        "return": "tuple[Callable[..., Any], tuple[Any, ...], dict[str, Any], list[str]]"},
    "DataOffloader._upload": {"label": "str", "return": "Optional[str]"},
    "DataOffloader._upload_direct_to_r2": _TRANSPORT,
    "DataOffloader._upload_multipart_to_r2": _TRANSPORT,
    "DataOffloader._upload_legacy": _TRANSPORT,
    "DataOffloader._abort_multipart": {"data_key": "str", "upload_id": "str", "auth": "dict", "return": "None"},
    "DataOffloader.flush_keys": {"keys": "list[str]", "return": "None"},
    "DataOffloader.flush_all": {"return": "None"},
    "_RemoteFile.__init__": {"data": "bytes", "filename": "str"},
    "_RemoteDir.__init__": {"data": "bytes", "dirname": "str", "file_count": "int"},
    **{f"{cls}.{name}": ann for cls in ("_RemoteFile", "_RemoteDir")
       for name, ann in (("_materialize", _TO_STR), ("__fspath__", _TO_STR), ("__str__", {}), ("__repr__", {}))},
    "__resolving_wrapper__.__call__": {"call_args": "Any", "call_kwargs": "Any", "return": "Any"},
}


def _lookup(module, qualname):
    return functools.reduce(getattr, qualname.split("."), module)


def _stub_annotations(module, qualname):
    names, methods = STUBS[module]
    cls, _, name = qualname.rpartition(".")
    node = methods[cls][name] if cls else names[name]
    a = node.args
    args = a.posonlyargs + a.args + a.kwonlyargs + [x for x in (a.vararg, a.kwarg) if x]
    out = {x.arg: ast.unparse(x.annotation) for x in args if x.annotation}
    if node.returns:
        out["return"] = ast.unparse(node.returns)
    return out


def test_the_annotation_table_covers_every_spillbox_function_and_method():
    defined = {n for _, n in FUNCTIONS if _ is brivel.spillbox}
    defined |= {f"{c}.{n}" for m, c, n in METHODS if m is brivel.spillbox}
    assert set(SPILLBOX_ANNOTATIONS) == defined | {"__resolving_wrapper__.__call__"}


@pytest.mark.parametrize("qualname", sorted(SPILLBOX_ANNOTATIONS))
def test_spillbox_keeps_annotations_as_text_and_the_signature_shows_them(qualname):
    fn = _lookup(brivel.spillbox, qualname)
    expected = SPILLBOX_ANNOTATIONS[qualname]
    assert fn.__annotations__ == expected
    sig = inspect.signature(fn)
    shown = {p.name: p.annotation for p in sig.parameters.values() if p.annotation is not p.empty}
    if sig.return_annotation is not sig.empty:
        shown["return"] = sig.return_annotation
    assert shown == expected
    stub = _stub_annotations(brivel.spillbox, qualname)
    assert {k: stub.get(k) for k in expected} == expected


def test_offloader_constructor_signature_reads_as_its_definition():
    assert str(inspect.signature(brivel.spillbox.DataOffloader)) == (
        "(api_url: 'str', api_key: 'str', size_threshold: 'int | None' = None, "
        "progress_factory: 'Optional[Callable[[str, int], Any]]' = None)")


def test_functools_wraps_carries_a_native_functions_metadata_and_signature():
    target = brivel.spillbox.estimate_arg_size

    @functools.wraps(target)
    def wrapper(*args, **kwargs):
        return target(*args, **kwargs)

    assert (wrapper.__name__, wrapper.__qualname__, wrapper.__doc__) == (target.__name__, target.__qualname__,
                                                                         target.__doc__)
    assert wrapper.__annotations__ == {"obj": "Any", "return": "int"} and wrapper.__dict__ == {"__wrapped__": target}
    assert inspect.signature(wrapper) == inspect.signature(target)
    assert wrapper(b"abc") == 3


# ---------------------------------------------------------------- functions, methods, help()

def test_one_function_type_serves_functions_methods_and_the_overflow_wrappers():
    ov = brivel.overflow
    monitor = ov._OverflowMonitor(False, 85.0, 0.5, None, "http://127.0.0.1:9")  # made, not started
    wrapper = monitor._make_wrapper(len)
    assert type(wrapper) is type(ov.overflow) is type(vars(ov._OverflowMonitor)["stop"])
    assert (wrapper.__name__, wrapper.__wrapped__, wrapper([1, 2])) == ("len", len, 2)


@pytest.mark.parametrize("module, name", FUNCTIONS, ids=_ids(FUNCTIONS))
def test_module_functions_present_themselves_as_built_in_functions(module, name):
    fn = getattr(module, name)
    assert (fn.__name__, fn.__qualname__, fn.__module__) == (name, name, module.__name__)
    assert fn.__self__ is module
    assert repr(fn) == f"<built-in function {name}>"
    for dumps in (pickle.dumps, cloudpickle.dumps):
        assert pickle.loads(dumps(fn)) is fn  # by reference, as built-in functions pickle


@pytest.mark.parametrize("module, cls, name", METHODS, ids=_ids(METHODS))
def test_methods_present_themselves_as_methods_of_their_class(module, cls, name):
    klass = getattr(module, cls)
    fn = vars(klass)[name]
    assert getattr(klass, name) is fn
    assert (fn.__name__, fn.__qualname__, fn.__module__) == (name, f"{cls}.{name}", module.__name__)
    assert not hasattr(fn, "__self__")
    instance = klass.__new__(klass)
    bound = getattr(instance, name)
    assert inspect.ismethod(bound) and bound.__func__ is fn and bound.__self__ is instance
    assert pickle.loads(cloudpickle.dumps(fn)) is fn


@pytest.mark.parametrize("module", list(MODULES), ids=lambda m: m.__name__)
def test_help_names_no_binding_internals(module):
    text = pydoc.render_doc(module, renderer=pydoc.plaintext)
    assert "pybind11" not in text and " method of " not in text
    for name in _functions(module):
        fn = getattr(module, name)
        page = pydoc.render_doc(fn, renderer=pydoc.plaintext)
        assert "pybind11" not in page
        assert page.splitlines()[2] == f"{name}{inspect.signature(fn)}"
    for cls in MODULES[module]:
        klass = getattr(module, cls)
        page = pydoc.render_doc(klass, renderer=pydoc.plaintext)
        assert "pybind11" not in page
        assert f" |  {cls}{inspect.signature(klass)}\n" in page
        for c, name in _methods(module):
            if c == cls and pydoc.visiblename(name, obj=klass):
                assert f" |  {name}{inspect.signature(getattr(klass, name))}\n" in page


CLASSES = [(m, c) for m in MODULES for c in MODULES[m]]


@pytest.mark.parametrize("module, cls", CLASSES, ids=_ids(CLASSES))
def test_classes_have_the_signature_of_their_constructor(module, cls):
    klass = getattr(module, cls)
    init = inspect.signature(klass.__init__)
    assert inspect.signature(klass) == init.replace(parameters=list(init.parameters.values())[1:])


@pytest.mark.parametrize("module", list(MODULES), ids=lambda m: m.__name__)
def test_every_function_and_class_has_a_docstring(module):
    names = [n for n in _functions(module)]
    names += [n for n, v in vars(module).items() if inspect.isclass(v) and v.__module__ == module.__name__]
    assert [n for n in names if not getattr(module, n).__doc__] == []


@pytest.mark.parametrize("fn, texts", [
    (ws.upload_workspace, ["on_file(manifest_file: ManifestFile, done: int, total: int)"]),
    (ws.download_outputs, ["on_file(artifact: dict, done: int, total: int)"]),
    (ws.WorkspaceClient.download_artifact_to_file, ["on_progress(nbytes: int)"]),
    (ws.WorkspaceClient.__init__, ["progress(int, int) -> None"]),
    (brivel.spillbox.DataOffloader, ["progress_factory(label: str, total: int)", "update(sent: int)",
                                     "close()", "52428800"]),
    (brivel.spillbox._stream_bytes, ["on_progress(sent, total)"]),
    (brivel.overflow.overflow, ["fast: a request flag", "priority, flexible: accepted", "otherwise ignored"]),
], ids=["upload_workspace", "download_outputs", "download_artifact_to_file", "WorkspaceClient",
        "DataOffloader", "_stream_bytes", "overflow"])
def test_docstrings_say_what_callbacks_receive_and_what_options_do(fn, texts):
    doc = " ".join(fn.__doc__.split())
    assert [t for t in texts if t not in doc] == []


def test_a_failed_module_body_drops_its_function_type(run_python):
    # The body fails after its first functions exist; one of them is kept past the failure.
    code = """
        import abc, sys
        real, kept = abc.update_abstractmethods, []
        def fail(cls):
            kept.append(sys.modules["brivel.spillbox"].estimate_arg_size)
            raise RuntimeError("boom")
        abc.update_abstractmethods = fail
        try:
            import brivel.spillbox
        except RuntimeError as e:
            print("failed", e, "brivel.spillbox" in sys.modules)
        abc.update_abstractmethods = real
        import brivel.spillbox as sb
        old = kept[0]
        print(type(old) is type(sb.estimate_arg_size), repr(old), sb.estimate_arg_size(b"abc"))
    """
    proc = run_python(code)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == ["failed boom False", "False <built-in function estimate_arg_size> 3"]
