"""Shared test support: the test doubles: the loopback cloud service (``cloud``), module fakes (``fakes``), the moto
store backend (``s3``) and the pytest fixtures around them (``fixtures``)."""

from .cloud import (ETAG_MODES, EXPIRY_PRESETS, NOT_JSON, ROUTE_NAMES, UNSET, FakeCloud, Gate,
                    Headers, Injection, Part, Raw, Reply, Request, StoreError, Upload)
from .fakes import (Abort, FakeFlowtune, FakeNvml, FakeOrvane, FakePsutil, NVMLError, OrvaneEvent,
                    Progress, install_module)

__all__ = [
    "Abort", "ETAG_MODES", "EXPIRY_PRESETS", "FakeCloud", "FakeFlowtune", "FakeNvml",
    "FakeOrvane", "FakePsutil", "Gate", "Headers", "Injection", "NOT_JSON", "NVMLError",
    "OrvaneEvent", "Part", "Progress", "ROUTE_NAMES", "Raw", "Reply", "Request", "StoreError",
    "UNSET", "Upload", "install_module",
]
