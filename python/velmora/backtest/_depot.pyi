"""The benchmark data package: download, safe extraction, flattening and packing."""

import pathlib
from typing import Any, Callable, Optional

from velmora._http import HttpClient
from velmora.backtest._store import PathLike

def download_benchmark_package(
    http: HttpClient, store_dir: PathLike, progress: Optional[Callable[[int, int], object]] = None
) -> pathlib.Path: ...
def flatten_single_subdir(store_dir: PathLike) -> None: ...
def pack_store_archive(store_dir: PathLike, archive: PathLike) -> int: ...
def download_into_store(
    http: HttpClient,
    store_dir: PathLike,
    *,
    wait: bool = False,
    waiting: Optional[Callable[[int], object]] = None,
    progress: Optional[Callable[[int, int], object]] = None,
    unpacking: Optional[Callable[[int, int], object]] = None,
) -> dict[str, Any]: ...
def find_leftovers(store_dir: PathLike) -> list[dict[str, object]]: ...
def remove_leftovers(
    store_dir: PathLike, *, wait: bool = False, waiting: Optional[Callable[[int], object]] = None
) -> list[dict[str, object]]: ...
