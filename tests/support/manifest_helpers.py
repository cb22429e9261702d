"""Shared helpers for the manifest-building tests: the plain-Python reference ignore matcher
written with the interpreter's fnmatch, and small tree builders."""

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
        for part in parts:
            if fnmatch.fnmatchcase(part, cleaned):
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


def permissions_bind() -> bool:
    """Whether file permissions bind this process: not so for root with its usual
    capabilities (CI also runs the permission tests as root without them)."""
    import tempfile

    with tempfile.TemporaryDirectory() as d:
        probe = os.path.join(d, "probe")
        with open(probe, "w"):
            pass
        os.chmod(probe, 0)
        try:
            open(probe).close()
        except PermissionError:
            return True
        return False


def built_from_files(root, files):
    """A BuiltManifest over real files written under ``root``: {relpath: bytes}, in order."""
    import hashlib
    from pathlib import Path

    import brivel.workspace as ws

    entries = []
    for rel, data in files.items():
        path = Path(root) / rel
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data)
        entries.append(ws.ManifestFile(relpath=rel, sha256=hashlib.sha256(data).hexdigest(),
                                       size=len(data), mode=0o644, local_path=path))
    return ws.BuiltManifest(workspace_root="/workspace", files=entries, outputs=[], auto_outputs=True,
                            ignore=[], total_size_bytes=sum(len(d) for d in files.values()))
