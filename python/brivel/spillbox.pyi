"""Argument offload: large call arguments are pickled, stored in the backend data store and
replaced by None; the returned wrapper fetches them back where the call runs."""

import functools as functools
import hashlib as hashlib
import logging
import os as os
import sys as sys
import threading as threading
from collections.abc import Iterator
from pathlib import Path as Path
from typing import Any as Any, Callable as Callable, Optional as Optional

logger: logging.Logger

_DEFAULT_SIZE_THRESHOLD: int
_DATA_MULTIPART_THRESHOLD: int
_DATA_MULTIPART_PART_SIZE: int
_DATA_MULTIPART_MAX_PARTS: int
_DATA_UPLOAD_CONCURRENCY: int
_DATA_UPLOAD_MAX_RETRIES: int

def _stream_bytes(data: bytes, on_progress: Optional[Callable[[int, int], None]] = None,
                  chunk_size: int = 262144) -> Iterator[bytes]: ...
def estimate_arg_size(obj: Any) -> int: ...
def _shallow_size(obj: Any) -> int: ...

class DataOffloader:
    UPLOAD_PROGRESS_THRESHOLD: int
    api_url: str
    api_key: str
    _size_threshold: int
    _pending_keys: list[str]
    _keys_lock: threading.Lock
    _upload_cache: dict[str, str]
    _progress_factory: Optional[Callable[[str, int], Any]]
    def __init__(self, api_url: str, api_key: str, size_threshold: int | None = None,
                 progress_factory: Optional[Callable[[str, int], Any]] = None) -> None: ...
    def __getstate__(self) -> dict[str, Any]: ...
    def __setstate__(self, state: dict[str, Any]) -> None: ...
    def offload_large_args(
        self, func: Callable[..., Any], args: tuple[Any, ...], kwargs: dict[str, Any]
    ) -> tuple[Callable[..., Any], tuple[Any, ...], dict[str, Any], list[str]]: ...
    def _upload(self, arg: Any, label: str = "Uploading data") -> Optional[str]: ...
    def _upload_direct_to_r2(self, serialized: bytes, size: int, upload_timeout: float,
                             progress: Any) -> Optional[str]: ...
    def _upload_multipart_to_r2(self, serialized: bytes, size: int, upload_timeout: float,
                                progress: Any) -> Optional[str]: ...
    def _abort_multipart(self, data_key: str, upload_id: str, auth: dict) -> None: ...
    def _upload_legacy(self, serialized: bytes, size: int, upload_timeout: float,
                       progress: Any) -> Optional[str]: ...
    def flush_keys(self, keys: list[str]) -> None: ...
    def flush_all(self) -> None: ...

class __resolving_wrapper__:
    """The callable offload_large_args returns in place of the function."""
    __wrapped__: Callable[..., Any]
    _original_func: Callable[..., Any]
    _arg_refs: dict[int, str]
    _kwarg_refs: dict[str, str]
    _api_url: str
    def __call__(self, *call_args: Any, **call_kwargs: Any) -> Any: ...
