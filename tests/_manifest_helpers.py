"""Shared helpers for the manifest-building tests: the reference ignore matcher written
with the interpreter's fnmatch, and small tree builders."""

import importlib.util
import os
from pathlib import Path


def _load_reference():
    """The plain-Python reference matcher lives with the benchmark, which measures against it."""
    path = Path(__file__).resolve().parent.parent / "bench" / "manifest.py"
    spec = importlib.util.spec_from_file_location("_bench_manifest", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


_reference = _load_reference()
reference_matches = _reference.ref_matches


def make_tree(root, files):
    """files: {relpath: bytes or str}; returns root."""
    for rel, content in files.items():
        path = os.path.join(root, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(content.encode() if isinstance(content, str) else content)
    return root
