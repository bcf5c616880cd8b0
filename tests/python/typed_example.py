"""A research script's use of every public function of the package, checked by mypy --strict against the
stubs (CTest: python_mypy_strict). It is type-checked, not run."""

import datetime
import pathlib
from typing import Optional, Union

import numpy
import pandas as pd

import velmora
from velmora import singleton
from velmora._http import API_PREFIX, HttpClient
from velmora.backtest import (
    BASE_MATRIX_DTYPE,
    BENCHMARK_INDEX_CODES,
    COMPONENT_FACTOR_NAMES,
    PREPARED_DATA_VERSION,
    BinaryPreparedDataStore,
    BinaryPreparedDataStoreBase,
    BuiltPayload,
    GroupPreparedDataBuilder,
    build_into_store,
    build_matrix_dtype,
    clean_matrix,
    component_dataset_key,
    download_benchmark_package,
    download_into_store,
    find_leftovers,
    flatten_single_subdir,
    get_component_factor_names,
    normalize_yyyymmdd,
    pack_store_archive,
    parse_name_list,
    remove_leftovers,
    request_interruption,
    reset_interruption,
    series_to_yyyymmdd,
    supplement_store,
    update_store,
)
from velmora.exceptions import HttpError, NetworkError, VelmoraError
from velmora.sqlite_factor_service import SqliteFactorService, TableScan


class FrameService:
    """A factor service of the user's own, answering frames."""

    def get_factors(
        self, *, factor: Union[str, list[str]], start_date: Optional[str] = None, end_date: Optional[str] = None
    ) -> Optional[pd.DataFrame]:
        return None

    def get_index_daily(
        self, *, order_book_ids: list[str], start_date: Optional[str] = None, end_date: Optional[str] = None
    ) -> Optional[pd.DataFrame]:
        return None


def research(db: pathlib.Path, store_dir: pathlib.Path, token: str) -> float:
    version: str = velmora.__version__
    previous = singleton.set_instance(SqliteFactorService(db, read_threads=2, table_scan=TableScan.always))
    singleton.set_instance(FrameService())
    singleton.set_instance(previous)
    service = singleton.get_instance()
    if isinstance(service, SqliteFactorService):
        answer: Optional[pd.DataFrame] = service.get_factors(factor="Close", start_date="2024-01-02")
        service.get_index_daily(order_book_ids=list(BENCHMARK_INDEX_CODES.values()))
        print(service.path, answer)

    builder = GroupPreparedDataBuilder(pd.Timestamp("2024-01-01"), datetime.date(2024, 12, 31))
    GroupPreparedDataBuilder(20240101, numpy.datetime64("2024-12-31"))
    payload = builder.build() if version else builder.build_incremental()
    print(builder.default_start, builder.end_date, payload["meta"])

    store = BinaryPreparedDataStore(store_dir, component_names=get_component_factor_names())
    store.write(payload)
    store.verify()
    loaded = store.load(start_date=datetime.datetime(2024, 7, 1), keys=["close_price"], mmap=False)
    if loaded is None:
        return 0.0
    close: pd.DataFrame = loaded["data"]["close_price"]
    store.add_component_matrices({COMPONENT_FACTOR_NAMES[0]: clean_matrix(close)}, [COMPONENT_FACTOR_NAMES[0]])
    metadata = store.load_metadata()
    base = BinaryPreparedDataStoreBase(store_dir, BASE_MATRIX_DTYPE, PREPARED_DATA_VERSION, "float64")
    print(base.store_dir, base.metadata_path, base.manifest_path, base.matrix_dtype, metadata)
    print(build_matrix_dtype(), build_matrix_dtype(["x"]), component_dataset_key("x"), parse_name_list("a,b"))
    print(normalize_yyyymmdd("2024-01-02"), series_to_yyyymmdd(["2024-01-02"]))

    built = build_into_store(store_dir, 20240101, pd.Timestamp("2024-12-31"), batch=True, drop_components=["x"],
                             wait=True, waiting=lambda pid: print(pid), progress=print)
    added: list[str] = supplement_store(store_dir, ["x"])["added"]
    updated = update_store(store, datetime.date(2025, 1, 2), progress=print)
    basis: BuiltPayload = GroupPreparedDataBuilder("20240101", "20240105").build()
    print(built["kept"], added, updated["outcome"], basis.update_basis)

    client = HttpClient("https://cloud.example.com", token)
    try:
        answer_json = client.get(API_PREFIX + "/backtest-data/benchmark-data")
        print(client.base_url, answer_json)
        fetched: pathlib.Path = download_benchmark_package(client, store_dir, progress=lambda got, total: None)
        lifted = download_into_store(client, store_dir, wait=True, unpacking=lambda done, total: None)["lifted"]
        print(lifted)
        flatten_single_subdir(fetched)
        files: int = pack_store_archive(fetched, store_dir.with_suffix(".zip"))
        print(files)
        left: list[dict[str, object]] = find_leftovers(fetched)
        removed = remove_leftovers(fetched, wait=True, waiting=lambda pid: print(pid))
        print(len(left), len(removed))
        request_interruption()
        reset_interruption()
    except HttpError as error:
        status: int = error.status
        print(status, error.__cause__)
    except NetworkError as error:
        print(error.__cause__)
    except VelmoraError:
        pass
    return float(close.iloc[0, 0])
