"""Prepared market data for the backtester: building (_prepare), storing (_store) and downloading (_depot).

Every public name of the three modules is importable from here as well.
"""

from velmora.backtest._depot import download_benchmark_package, flatten_single_subdir, pack_store_archive
from velmora.backtest._prepare import (
    BASE_MATRIX_DTYPE,
    BENCHMARK_INDEX_CODES,
    BOOL_STORAGE_DTYPE,
    BUILD_INPUT_NAMES,
    COMPONENT_FACTOR_NAMES,
    FLOAT_STORAGE_DTYPE,
    OPTIONAL_FACTOR_NAMES,
    PREPARED_DATA_VERSION,
    REQUIRED_FACTOR_NAMES,
    BinaryPreparedDataStore,
    GroupPreparedDataBuilder,
    build_matrix_dtype,
    get_component_factor_names,
    parse_name_list,
    series_to_yyyymmdd,
)
from velmora.backtest._store import (
    BinaryPreparedDataStoreBase,
    clean_matrix,
    component_dataset_key,
    normalize_yyyymmdd,
)

__all__ = [
    "BASE_MATRIX_DTYPE",
    "BENCHMARK_INDEX_CODES",
    "BOOL_STORAGE_DTYPE",
    "BUILD_INPUT_NAMES",
    "COMPONENT_FACTOR_NAMES",
    "FLOAT_STORAGE_DTYPE",
    "OPTIONAL_FACTOR_NAMES",
    "PREPARED_DATA_VERSION",
    "REQUIRED_FACTOR_NAMES",
    "BinaryPreparedDataStore",
    "BinaryPreparedDataStoreBase",
    "GroupPreparedDataBuilder",
    "build_matrix_dtype",
    "clean_matrix",
    "component_dataset_key",
    "download_benchmark_package",
    "flatten_single_subdir",
    "get_component_factor_names",
    "normalize_yyyymmdd",
    "pack_store_archive",
    "parse_name_list",
    "series_to_yyyymmdd",
]
