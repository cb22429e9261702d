"""The surface of the native modules as help() and inspect see it: docstrings, signatures
that match the .pyi stubs, and the interpreter's own messages for wrong calls."""

import ast
import inspect
import pydoc
from pathlib import Path

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
    return sorted(n for n, v in vars(module).items()
                  if (inspect.isbuiltin(v) or inspect.isfunction(v)) and not _imported(n, v))


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
    # Records and the error keep the bare form of their definition.
    assert ws.WorkspaceTooLargeError.__doc__ is None
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
