"""Building prepared data from Python: through the SQLite service, and through a service written in Python."""

import shutil
import sqlite3
import subprocess
import threading
import time

import numpy as np
import pandas as pd
import pytest

from conftest import END, START
from factor_frames import PandasFrameService
from frames_equal import assert_data_identical
from velmora import singleton
from velmora.backtest._prepare import BASE_MATRIX_DTYPE, BinaryPreparedDataStore, GroupPreparedDataBuilder
from velmora.sqlite_factor_service import SqliteFactorService, TableScan


def build_with(service, incremental=False):
    singleton.set_instance(service)
    builder = GroupPreparedDataBuilder(START, END)
    return builder.build_incremental() if incremental else builder.build()


@pytest.fixture(scope="module")
def dirty_db(sample_db, tmp_path_factory):
    """The sample database with what real factor data holds: numbers stored as text, text that is no number,
    missing values and identifiers, and duplicate rows (the later one wins)."""
    db = tmp_path_factory.mktemp("dirty") / "dirty.db"
    shutil.copy(sample_db, db)
    with sqlite3.connect(db) as con:
        con.execute("UPDATE factor_values SET value = CAST(value AS TEXT) WHERE factor = 'Open' AND rowid % 3 = 0")
        con.execute("UPDATE factor_values SET value = ' ' || CAST(value AS TEXT) || ' ' "
                    "WHERE factor = 'Close' AND rowid % 5 = 0")
        con.execute("UPDATE factor_values SET value = NULL WHERE factor = 'limit_up' AND rowid % 7 = 0")
        con.execute("UPDATE factor_values SET value = 'n/a' WHERE factor = 'limit_down' AND rowid % 11 = 0")
        con.execute("UPDATE factor_values SET order_book_id = NULL WHERE factor = 'Open' AND rowid % 13 = 0")
        con.execute("INSERT INTO factor_values (factor, order_book_id, date, value) "
                    "SELECT factor, order_book_id, date, value * 2 FROM factor_values "
                    "WHERE factor = 'Close' AND rowid % 4 = 0")
    return db


def test_a_build_from_the_sqlite_service_equals_the_tools_store(tool, sample_db, tmp_path):
    subprocess.run([tool, "build", "--db", str(sample_db), "--start", START, "--end", END,
                    "--store", str(tmp_path / "tool"), "--quiet"], check=True, stdout=subprocess.DEVNULL)
    payload = build_with(SqliteFactorService(sample_db))
    BinaryPreparedDataStore(tmp_path / "python").write(payload)

    from_tool = BinaryPreparedDataStore(tmp_path / "tool").load()
    from_python = BinaryPreparedDataStore(tmp_path / "python").load()
    assert_data_identical(from_tool["data"], from_python["data"])
    assert from_tool["meta"]["component_names"] == from_python["meta"]["component_names"]
    # the payload in memory holds what the store holds
    assert_data_identical(from_python["data"], payload["data"])


def test_a_payload_is_version_meta_and_data(sample_db):
    full = build_with(SqliteFactorService(sample_db))
    incremental = build_with(SqliteFactorService(sample_db), incremental=True)
    assert list(full) == ["version", "meta", "data"] and full["version"] == 1
    assert "created_at" in full["meta"] and "updated_at" not in full["meta"]
    assert "updated_at" in incremental["meta"] and "created_at" not in incremental["meta"]
    assert list(full["data"])[:12] == list(BASE_MATRIX_DTYPE)
    assert list(full["data"])[-1] == "benchmark_dict"
    assert full["data"]["can_buy_stock"].values.dtype == bool
    assert_data_identical(full["data"], incremental["data"])


def test_every_way_of_reading_the_table_gives_the_same_payload(dirty_db):
    expected = build_with(SqliteFactorService(dirty_db, table_scan=TableScan.never))
    for table_scan in (TableScan.always, TableScan.automatic):
        for incremental in (False, True):
            got = build_with(SqliteFactorService(dirty_db, 2, table_scan), incremental)
            assert_data_identical(expected["data"], got["data"])
    with pytest.raises(TypeError):
        SqliteFactorService(dirty_db, table_scan="always")


@pytest.mark.parametrize("layout", ["long", "factor_name", "wide"])
def test_a_python_service_of_pandas_frames_gives_the_sqlite_services_payload(dirty_db, layout):
    expected = build_with(SqliteFactorService(dirty_db))
    service = PandasFrameService(dirty_db, layout)
    got = build_with(service)
    assert_data_identical(expected["data"], got["data"])
    assert service.calls, "the builder read through the Python service"
    assert ("get_factors", "Close", "2023-01-01", "2023-12-31") in service.calls


def test_an_incremental_build_reads_the_batch_from_a_python_service(dirty_db):
    expected = build_with(SqliteFactorService(dirty_db), incremental=True)
    service = PandasFrameService(dirty_db)
    got = build_with(service, incremental=True)
    assert_data_identical(expected["data"], got["data"])
    assert isinstance(service.calls[0][1], list), "one batch query first"


# Every dtype a date column of a service's answer may have, each made from the "YYYY-MM-DD" texts.
DATE_COLUMNS = {
    "datetime64": lambda dates: pd.to_datetime(dates),
    "datetime64 in a zone ahead of UTC": lambda dates: pd.to_datetime(dates).dt.tz_localize("Asia/Shanghai"),
    "Timestamp objects": lambda dates: pd.Series(list(pd.to_datetime(dates)), dtype=object),
    "datetime.date objects": lambda dates: pd.to_datetime(dates).dt.date,
    "categorical texts": lambda dates: dates.astype("category"),
    "pandas strings": lambda dates: dates.astype("string"),
    "compact texts": lambda dates: dates.str.replace("-", ""),
}


@pytest.mark.parametrize("convert", DATE_COLUMNS.values(), ids=DATE_COLUMNS.keys())
def test_date_columns_of_every_dtype_are_read_like_texts(dirty_db, convert):
    expected = build_with(SqliteFactorService(dirty_db))
    service = PandasFrameService(dirty_db)
    service.factors["order_book_id"] = service.factors["order_book_id"].astype("category")
    answer = service.get_factors

    def get_factors(factor, start_date, end_date):
        rows = answer(factor, start_date, end_date)
        if rows is not None:
            rows["date"] = convert(rows["date"])
        return rows

    service.get_factors = get_factors
    got = build_with(service)
    assert_data_identical(expected["data"], got["data"])


def test_the_sqlite_service_answers_frames_as_the_database_holds_them(sample_db):
    service = SqliteFactorService(sample_db)
    got = service.get_factors(factor="Close", start_date="2023-01-01", end_date="2023-01-31")
    with sqlite3.connect(sample_db) as con:
        expected = pd.read_sql_query("SELECT order_book_id, date, factor, value FROM factor_values WHERE factor = 'Close' "
                                     "AND date BETWEEN '2023-01-01' AND '2023-01-31' ORDER BY date, rowid", con)
    assert list(got.columns) == ["order_book_id", "date", "factor", "value"]
    assert got["order_book_id"].tolist() == expected["order_book_id"].tolist()
    assert got["date"].tolist() == expected["date"].tolist()
    assert np.array_equal(got["value"].to_numpy(), expected["value"].to_numpy(dtype=float), equal_nan=True)
    assert service.get_factors(factor=["no such factor"]) is None
    quotes = service.get_index_daily(order_book_ids=["000300.XSHG"], start_date="20230101", end_date="20231231")
    assert set(quotes["order_book_id"]) == {"000300.XSHG"}


def test_a_build_releases_the_gil_while_it_reads_and_computes(sample_db):
    singleton.set_instance(SqliteFactorService(sample_db))
    builder = GroupPreparedDataBuilder(START, END)
    done = threading.Event()

    def build_three_times():
        for _ in range(3):
            builder.build()
        done.set()

    worker = threading.Thread(target=build_three_times)
    started = time.perf_counter()
    worker.start()
    ticks, longest_gap, last = 0, 0.0, time.perf_counter()
    while not done.is_set():
        now = time.perf_counter()
        longest_gap, last, ticks = max(longest_gap, now - last), now, ticks + 1
    worker.join()
    elapsed = time.perf_counter() - started
    # Holding the GIL through a build would stall this loop for a whole build (a third of the time).
    assert longest_gap < elapsed / 6, "the loop stalled %.3f s of %.3f s" % (longest_gap, elapsed)
