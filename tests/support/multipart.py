"""Shared pieces of the multipart tests: the checksum header value of some bytes and a
workspace client bound to the test's double."""

import base64
import hashlib

import pytest


def b64sha(data: bytes) -> str:
    return base64.b64encode(hashlib.sha256(data).digest()).decode()


@pytest.fixture
def client(cloud):
    import brivel.workspace as ws

    with ws.WorkspaceClient(cloud.base, cloud.api_key, timeout=10) as c:
        yield c
