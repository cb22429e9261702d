import atexit as atexit
import functools as functools
import logging
import os as os
import sys as sys
import threading
import time as time
from types import FrameType
from typing import Any, Callable, Dict, List, Optional, Set, Tuple

logger: logging.Logger
_DEFAULT_API_URL: str

class _WrapRecord:
    __slots__ = ("original", "name", "namespace", "wrapper")
    original: Callable[..., Any]
    name: str
    namespace: dict[str, Any]
    wrapper: Callable[..., Any]
    def __init__(self, original: Callable[..., Any], name: str, namespace: dict[str, Any],
                 wrapper: Callable[..., Any]) -> None: ...

def _compute_exclude_prefixes() -> Tuple[str, ...]: ...

class _OverflowMonitor:
    fast: bool
    threshold: float
    check_interval: float
    gpu_threshold: float
    verbose: bool
    api_key: Optional[str]
    api_url: str
    _running: bool
    _overloaded: bool
    _cpu_usage: float
    _mem_usage: float
    _gpu_util: float
    _gpu_mem_util: float
    _gpu_available: bool
    _nvml_handle: Any
    _call_stack: List[Dict[str, Any]]
    _wrapped_functions: Dict[int, _WrapRecord]
    _heavy_signatures: Set[Tuple[str, str, int]]
    _scope_wrapped: bool
    _filename_cache: Dict[str, bool]
    _lock: threading.Lock
    _monitor_thread: Optional[threading.Thread]
    _original_profile: Optional[Callable[..., Any]]
    _portvel: Any
    _portvel_lock: threading.Lock
    _portvel_failed: bool
    _warm_result: Any
    _exclude_prefixes: Tuple[str, ...]
    def __init__(self, fast: bool, threshold: float, check_interval: float, api_key: Optional[str],
                 api_url: Optional[str], gpu_threshold: Optional[float] = None, verbose: bool = True,
                 priority: Optional[bool] = None, flexible: Optional[bool] = None) -> None: ...
    def __getstate__(self) -> dict[str, Any]: ...
    def __setstate__(self, state: Any) -> None: ...
    def start(self) -> None: ...
    def _init_gpu(self) -> None: ...
    def stop(self) -> None: ...
    def _resource_loop(self) -> None: ...
    def _profile_hook(self, frame: Any, event: str, arg: Any) -> None: ...
    def _is_user_code(self, filename: str) -> bool: ...
    def _check_user_code(self, filename: str) -> bool: ...
    def _try_wrap_from_frame(self, frame: Any) -> None: ...
    def _wrap_scope(self, frame: Any) -> None: ...
    def _register_wrap(self, func_obj: Callable[..., Any], func_name: str, namespace: dict[str, Any]) -> None: ...
    def _make_wrapper(self, original: Callable[..., Any]) -> Callable[..., Any]: ...
    def _start_pre_warm(self, source_file: Optional[str] = None) -> None: ...
    def _warm_portvel(self) -> None: ...
    def _get_portvel(self) -> Any: ...
    def _cloud_execute(self, func: Callable[..., Any], args: tuple, kwargs: dict[str, Any]) -> Any: ...
    def _unwrap_all(self) -> None: ...

_active_monitor: Optional[_OverflowMonitor]

def overflow(fast: bool = False, threshold: float = 85.0, check_interval: float = 0.5,
             api_key: Optional[str] = None, api_url: Optional[str] = None,
             gpu_threshold: Optional[float] = None, verbose: bool = True,
             priority: Optional[bool] = None, flexible: Optional[bool] = None,
             _caller_frame: Optional[FrameType] = None) -> _OverflowMonitor: ...
