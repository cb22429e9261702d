"""Shared pieces of the multipart tests: the checksum header value of some bytes."""

import base64
import hashlib


def b64sha(data: bytes) -> str:
    return base64.b64encode(hashlib.sha256(data).digest()).decode()

