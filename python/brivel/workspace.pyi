import logging
import os
import re
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Callable, Optional, Union

import httpx

logger: logging.Logger

DEFAULT_IGNORE_PATTERNS: tuple[str, ...]
DEFAULT_MAX_BYTES: int
WARN_BYTES: int
CHUNK_SIZE: int
MULTIPART_THRESHOLD_BYTES: int
MULTIPART_PART_SIZE_BYTES: int
MULTIPART_MAX_PARTS: int
R2_MAX_OBJECT_BYTES: int
UPLOAD_SMALL_FANOUT: int
UPLOAD_MEMORY_BUDGET_BYTES: int
UPLOAD_TARGET_INFLIGHT_PARTS: int
UPLOAD_TARGET_INFLIGHT_PARTS_SMALL: int
UPLOAD_SMALL_PART_BYTES: int
UPLOAD_LARGE_FILE_CONCURRENCY: int
UPLOAD_MAX_RETRIES: int
OUTPUT_DOWNLOAD_FANOUT: int
_DOWNLOAD_CHUNK_BYTES: int
UPLOAD_HASH_WORKERS: int
HASH_CACHE_ENABLED: bool
_UPLOAD_ADAPTIVE: bool
_TRANSFER_POOL_CONNECTIONS: int
_UPLOAD_SOCKET_CEILING: int
_ROOT_MARKERS: tuple[str, ...]
_URL_EXPIRY_MARKERS: tuple[str, ...]
_WIN_ABS_PATH_RE: re.Pattern[str]

@dataclass
class Upload:
    local: Union[str, Path]
    to: Optional[str] = None
    follow_symlinks: bool = False

@dataclass
class Output:
    path: Optional[str] = None
    pattern: Optional[str] = None
    save_to: Optional[Union[str, Path]] = None
    required: bool = False
    def __post_init__(self) -> None: ...

@dataclass
class Workspace:
    root: Optional[Union[str, Path]] = "auto"
    uploads: list[Upload] = ...
    outputs: Union[list[Output], str] = "auto"
    ignore: list[str] = ...
    max_size_bytes: Optional[int] = None
    workspace_root_on_vm: str = "/workspace"
    def has_inputs(self) -> bool: ...

@dataclass
class ManifestFile:
    relpath: str
    sha256: str
    size: int
    mode: int
    local_path: Path
    to: Optional[str] = None

@dataclass
class BuiltManifest:
    workspace_root: str
    files: list[ManifestFile]
    outputs: list[Output]
    auto_outputs: bool
    ignore: list[str]
    total_size_bytes: int
    def unique_blobs(self) -> dict[str, ManifestFile]: ...
    def to_manifest_dict(self) -> dict[str, Any]: ...

class WorkspaceTooLargeError(RuntimeError): ...

def _sha256_file(path: Union[str, bytes, os.PathLike[str]]) -> tuple[str, int]: ...
def _stat_signature(st: os.stat_result) -> Optional[dict[str, int]]: ...
def _hash_cache_hit(cached: Optional[dict[str, Any]], sig: Optional[dict[str, int]]) -> Optional[str]: ...
def _hash_cache_dir() -> Path: ...
def _hash_cache_path(root: Optional[Path]) -> Path: ...
def _load_hash_cache(path: Path) -> dict[str, dict[str, Any]]: ...

def _sha256_to_checksum_b64(sha256_hex: str) -> Optional[str]: ...
def _is_transient_http(exc: Exception) -> bool: ...
def _is_expired_url(exc: Exception) -> bool: ...
def _sleep_backoff(attempt: int) -> None: ...
def _is_no_such_upload(exc: Exception) -> bool: ...

class WorkspaceClient:
    api_url: str
    api_key: str
    timeout: float
    progress: Optional[Callable[[int, int], None]]
    def __init__(self, api_url: str, api_key: str, *, timeout: float = 60.0,
                 progress: Optional[Callable[[int, int], None]] = None) -> None: ...
    def _transfer_http_client(self) -> httpx.Client: ...
    def _api_http_client(self) -> httpx.Client: ...
    def close(self) -> None: ...
    def __enter__(self) -> "WorkspaceClient": ...
    def __exit__(self, *exc: Any) -> None: ...
    def _headers(self, content_type: str = "application/json") -> dict[str, str]: ...
    def post_manifest(self, job_id: str, manifest: dict[str, Any]) -> Optional[dict[str, Any]]: ...
    def complete_uploads(self, job_id: str) -> Optional[dict[str, Any]]: ...
    def upload_blob(self, put_url: str, path: Union[str, os.PathLike[str]], *,
                    sha256: Optional[str] = None) -> None: ...
    def upload_blob_single(self, put_url: str, path: Union[str, os.PathLike[str]], *,
                           checksum_b64: Optional[str] = None,
                           remint: Optional[Callable[[], Optional[str]]] = None) -> None: ...
    def presign_blobs(self, endpoint: str, shas: list[str]) -> Optional[dict[str, Any]]: ...
    def ack_outputs(self, job_id: str) -> None: ...
    def get_outputs_manifest(self, job_id: str) -> Optional[dict[str, Any]]: ...
    def download_artifact(self, get_url: str) -> bytes: ...

def upload_workspace(job_id: str, built: BuiltManifest, client: WorkspaceClient, *,
                     on_file: Optional[Callable[[ManifestFile, int, int], None]] = None,
                     max_workers: int = 8) -> Optional[dict[str, Any]]: ...
