"""Prepared data: GroupPreparedDataBuilder, BinaryPreparedDataStore and the module vocabulary."""

from typing import Any, Callable, Iterable, Optional, Union

import pandas

from velmora.backtest._payload import BuiltPayload as BuiltPayload
from velmora.backtest._store import BinaryPreparedDataStoreBase as BinaryPreparedDataStoreBase
from velmora.backtest._store import DateLike as DateLike
from velmora.backtest._store import Payload as Payload
from velmora.backtest._store import PathLike as PathLike
from velmora.backtest._store import clean_matrix as clean_matrix
from velmora.backtest._store import component_dataset_key as component_dataset_key
from velmora.backtest._store import normalize_yyyymmdd as normalize_yyyymmdd
from velmora.singleton import get_instance as get_instance

FLOAT_STORAGE_DTYPE: str
BOOL_STORAGE_DTYPE: str
TAIL_RELOAD_ROWS: int
PREPARED_DATA_VERSION: int
REQUIRED_FACTOR_NAMES: list[str]
OPTIONAL_FACTOR_NAMES: list[str]
BUILD_INPUT_NAMES: list[str]
COMPONENT_FACTOR_NAMES: list[str]
BENCHMARK_INDEX_CODES: dict[str, str]
BASE_MATRIX_DTYPE: dict[str, str]

def parse_name_list(raw_values: Union[None, str, Iterable[object]]) -> list[str]: ...
def get_component_factor_names() -> list[str]: ...
def series_to_yyyymmdd(values: Iterable[object]) -> pandas.Series: ...
def build_matrix_dtype(component_names: Optional[list[str]] = None) -> dict[str, str]: ...

class GroupPreparedDataBuilder:
    def __init__(self, start_date: DateLike, end_date: DateLike) -> None: ...
    @property
    def default_start(self) -> str: ...
    @property
    def end_date(self) -> str: ...
    def build(self) -> BuiltPayload: ...
    def build_incremental(self) -> BuiltPayload: ...

class BinaryPreparedDataStore(BinaryPreparedDataStoreBase):
    def __init__(self, store_dir: PathLike, component_names: Optional[list[str]] = None) -> None: ...
    def add_component_matrices(
        self, component_matrices: dict[str, pandas.DataFrame], component_names: list[str]
    ) -> list[str]: ...


def build_into_store(
    store_dir: PathLike,
    start_date: DateLike,
    end_date: DateLike,
    *,
    batch: bool = False,
    allow_empty: bool = False,
    drop_components: Optional[list[str]] = None,
    wait: bool = False,
    waiting: Optional[Callable[[int], object]] = None,
    progress: Optional[Callable[[str], object]] = None,
) -> dict[str, Any]: ...
def supplement_store(
    store_dir: PathLike,
    component_names: list[str],
    *,
    wait: bool = False,
    waiting: Optional[Callable[[int], object]] = None,
    progress: Optional[Callable[[str], object]] = None,
) -> dict[str, list[str]]: ...
def update_store(
    store_or_dir: Union[BinaryPreparedDataStore, PathLike],
    end_date: DateLike,
    from_date: Optional[DateLike] = None,
    progress: Optional[Callable[[str], object]] = None,
) -> dict[str, Any]: ...
