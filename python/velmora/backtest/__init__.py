"""Prepared market data for the backtester: building (_prepare), storing (_store) and downloading (_depot).

Every public name of the three modules is importable from here as well, and so are the store workflows,
each holding the store's writer lock for its whole run (wait=True waits for another writer, calling
waiting(pid) first) and leaving the store as it was when it fails:

    build_into_store(store_dir, start_date, end_date, *, batch, allow_empty, drop_components, ...)
    supplement_store(store_dir, component_names, ...)
    update_store(store_or_dir, end_date, from_date=None, progress=None)
    download_into_store(http, store_dir, ...)
    find_leftovers(store_dir) / remove_leftovers(store_dir, ...)   what interrupted writes left, and its removal
    request_interruption() / reset_interruption()   stop running workflows at their next safe point

BuiltPayload is the dict that GroupPreparedDataBuilder.build() returns: its update_basis goes with it into
BinaryPreparedDataStore.write(), so that update_store() on that store reads only the new dates.
"""

from velmora.backtest._depot import (
    download_benchmark_package,
    download_into_store,
    find_leftovers,
    flatten_single_subdir,
    pack_store_archive,
    remove_leftovers,
)
from velmora.backtest._payload import BuiltPayload
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
    build_into_store,
    build_matrix_dtype,
    get_component_factor_names,
    parse_name_list,
    series_to_yyyymmdd,
    supplement_store,
    update_store,
)
from velmora.backtest._store import (
    BinaryPreparedDataStoreBase,
    clean_matrix,
    component_dataset_key,
    normalize_yyyymmdd,
    request_interruption,
    reset_interruption,
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
    "BuiltPayload",
    "GroupPreparedDataBuilder",
    "build_into_store",
    "build_matrix_dtype",
    "clean_matrix",
    "component_dataset_key",
    "download_benchmark_package",
    "download_into_store",
    "find_leftovers",
    "flatten_single_subdir",
    "get_component_factor_names",
    "normalize_yyyymmdd",
    "pack_store_archive",
    "parse_name_list",
    "remove_leftovers",
    "request_interruption",
    "reset_interruption",
    "series_to_yyyymmdd",
    "supplement_store",
    "update_store",
]
