"""Shared test support: the test doubles: the loopback cloud service (``cloud``), module fakes (``fakes``), the moto
store backend (``s3``) and the pytest fixtures around them (``fixtures``)."""

from .cloud import NOT_JSON, FakeCloud, Raw, Reply
from .fakes import Abort, FakeFlowtune, FakeNvml, FakeOrvane, FakePsutil, NVMLError, Progress

__all__ = [
    "Abort", "FakeCloud", "FakeFlowtune", "FakeNvml", "FakeOrvane", "FakePsutil", "NOT_JSON",
    "NVMLError", "Progress", "Raw", "Reply",
]
