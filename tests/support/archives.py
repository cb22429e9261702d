"""Reference directory archives made with the standard library, for comparing the
package's archives with what Python's own ``zipfile`` writes and reads."""

from __future__ import annotations

import io
import os
import zipfile


def zipfile_archive(root) -> tuple[bytes, int]:
    """The archive of ``root`` as plain ``zipfile`` code makes it: every file that
    ``os.walk`` lists, Deflate, named by its path relative to ``root``."""
    buf = io.BytesIO()
    count = 0
    with zipfile.ZipFile(buf, "w", zipfile.ZIP_DEFLATED) as zf:
        for dirpath, _dirs, files in os.walk(root):
            for name in files:
                full = os.path.join(dirpath, name)
                zf.write(full, os.path.relpath(full, root))
                count += 1
    return buf.getvalue(), count


def archive_listing(data: bytes) -> list[tuple]:
    """What ``zipfile`` reads back from an archive: each member's attributes and content,
    in archive order."""
    with zipfile.ZipFile(io.BytesIO(data)) as zf:
        assert zf.testzip() is None
        return [(i.filename, i.date_time, i.external_attr, i.compress_type, i.file_size, i.CRC,
                 i.create_system, zf.read(i)) for i in zf.infolist()]
