"""Shared helpers for the manifest-building tests: a reference ignore matcher written
with the interpreter's fnmatch, and small tree builders."""

import fnmatch
import os


def reference_normalize(pattern):
    s = pattern.strip()
    if not s or s.startswith("#"):
        return "", False
    if s.endswith("/"):
        return s[:-1], True
    return s, False


def reference_matches(relpath, patterns):
    rel = relpath.replace("\\", "/").lstrip("/")
    parts = rel.split("/")
    for pattern in patterns:
        cleaned, _ = reference_normalize(pattern)
        if not cleaned:
            continue
        if fnmatch.fnmatchcase(rel, cleaned):
            return True
        if any(fnmatch.fnmatchcase(part, cleaned) for part in parts):
            return True
        if cleaned.endswith("/**") and rel.startswith(cleaned[:-3]):
            return True
    return False


def make_tree(root, files):
    """files: {relpath: bytes or str}; returns root."""
    for rel, content in files.items():
        path = os.path.join(root, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(content.encode() if isinstance(content, str) else content)
    return root
