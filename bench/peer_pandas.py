#!/usr/bin/python3
"""The full prepared-data build written in plain pandas, as a user would write it.

The macro benchmark runs this script beside our library on the same SQLite factor database and compares
stage times; compare_stores.py checks that both produce the same matrices, cell for cell.

    /usr/bin/python3 bench/peer_pandas.py --db FILE --start YYYYMMDD --end YYYYMMDD \
        [--out DIR] [--timings FILE.json]

Stages timed (seconds, written to --timings as JSON):
  sqlite_read    time spent inside pandas.read_sql_query (factor, membership and index reads)
  long_to_wide   long rows to date x instrument matrices, and the placeholders of optional factors
  masks          membership factor matrices to 1.0/NaN masks
  benchmark      index rows to daily-return series
  derivation     the twelve base matrices
  payload        the version / meta / data record
  store_write    every matrix, mask and series written with numpy.save into --out (0 without --out)
  total          wall time of the whole run
  peak_rss_bytes peak resident set size of this process

Runs with Debian's python3 (numpy 1.24, pandas 1.5); standard library, numpy and pandas only.
"""

import argparse
import datetime as _dt
import json
import os
import resource
import sqlite3
import sys
import time
from collections import OrderedDict

import numpy as np
import pandas as pd

# --- Vocabulary ------------------------------------------------------------------------------------------

REQUIRED_FACTOR_NAMES = [
    "rq_industry_exposure_new",
    "limit_down",
    "limit_up",
    "Close",
    "Open",
    "tick_vwap_price_935_1005",
    "tick_vwap_price_925_1000",
]
OPTIONAL_FACTOR_NAMES = ["split_coefficient_to", "rq_get_dividend", "rq_is_suspended"]
COMPONENT_FACTOR_NAMES = [
    "rq_index_components_new_000300.XSHG",
    "rq_index_components_new_000905.XSHG",
    "rq_index_components_new_000852.XSHG",
    "rq_index_components_new_399303.XSHE",
    "rq_index_components_new_932000.INDX",
]
BENCHMARK_INDEX_CODES = OrderedDict([("000852", "000852.XSHG"), ("000300", "000300.XSHG"), ("000905", "000905.XSHG")])
BASE_MATRIX_DTYPE = OrderedDict(
    [
        ("industry_matrix", "float64"),
        ("close_price", "float64"),
        ("open_price", "float64"),
        ("close_price_valid", "float64"),
        ("prev_close", "float64"),
        ("buy_price", "float64"),
        ("sell_price", "float64"),
        ("rq_get_split", "float64"),
        ("rq_get_dividend", "float64"),
        ("can_buy_stock", "bool"),
        ("cant_sell_stock", "bool"),
        ("forward_return_rank_cache", "float64"),
    ]
)
PREPARED_DATA_VERSION = 1
BENCHMARK_SERIES_NAME = "index_daily_return"
BENCHMARK_RETURN_COLUMNS = ["return", "returns", "pct_change", "change_rate"]

FACTOR_SQL = "SELECT order_book_id, date, factor, value FROM factor_values WHERE factor = ? AND date >= ? AND date <= ?"
INDEX_SQL = "SELECT * FROM index_daily WHERE order_book_id IN ({}) AND date >= ? AND date <= ?"

STAGES = ["sqlite_read", "long_to_wide", "masks", "benchmark", "derivation", "payload", "store_write"]


def component_dataset_key(name):
    """Dataset key of a membership factor: "component__" + the name, with control bytes, non-ASCII bytes,
    '%', '/' and '\\' written as %XX so that the key is a safe file name."""
    out = ["component__"]
    for byte in name.encode("utf-8"):
        if byte < 0x20 or byte >= 0x7F or byte in b"%/\\":
            out.append("%%%02X" % byte)
        else:
            out.append(chr(byte))
    return "".join(out)


# --- Dates -----------------------------------------------------------------------------------------------


def normalize_yyyymmdd(text):
    """"YYYYMMDD" or "YYYY-MM-DD" (optionally with a time of day) to "YYYYMMDD"; exits on anything else."""
    stamp = pd.to_datetime(text, format="%Y%m%d" if len(text) == 8 else None, errors="coerce")
    if pd.isna(stamp):
        raise SystemExit("not a date: %r" % text)
    return stamp.strftime("%Y%m%d")


def query_date(yyyymmdd):
    return _dt.datetime.strptime(yyyymmdd, "%Y%m%d").strftime("%Y-%m-%d")


def ddb_date(yyyymmdd):
    # seven digits get a trailing 0; eight are kept as they are
    return yyyymmdd + "0" if len(yyyymmdd) == 7 and yyyymmdd.isdigit() else yyyymmdd


# Series.dt.strftime formats element by element in Python (about 6 us a row with pandas 1.5), while a
# factor's rows carry only a few thousand distinct dates; formatting the distinct dates and spreading them
# back by their codes gives the same texts some 15x faster. --strftime-every-row restores the textbook form.
STRFTIME_EVERY_ROW = False


def to_yyyymmdd(values):
    """Date-like values to "YYYYMMDD" texts, NaN where a value does not parse as a date."""
    stamps = pd.to_datetime(values, errors="coerce")
    if STRFTIME_EVERY_ROW:
        return stamps.dt.strftime("%Y%m%d")
    codes, distinct = pd.factorize(stamps)  # NaT gets code -1, which the reindex turns into NaN
    text = pd.Series(distinct.strftime("%Y%m%d").to_numpy(dtype=object)).reindex(codes).to_numpy()
    return pd.Series(text, index=values.index, name=values.name)


# --- Stage clock -----------------------------------------------------------------------------------------


class StageClock:
    def __init__(self):
        self.seconds = OrderedDict((stage, 0.0) for stage in STAGES)

    def timed(self, stage):
        clock = self

        class _Span:
            def __enter__(self):
                self.t0 = time.perf_counter()

            def __exit__(self, *exc):
                clock.seconds[stage] += time.perf_counter() - self.t0
                return False

        return _Span()


# --- The build -------------------------------------------------------------------------------------------


def empty_matrix():
    return pd.DataFrame(dtype="float64")


class PandasBuild:
    def __init__(self, con, start, end, clock):
        self.con = con
        self.start = start  # "YYYYMMDD"
        self.end = end
        self.clock = clock

    # -- reads --

    def _read_sql(self, sql, params):
        with self.clock.timed("sqlite_read"):
            return pd.read_sql_query(sql, self.con, params=params)

    @staticmethod
    def _pivot(rows):
        """One factor's long rows to a matrix: drop rows with a missing key, date or value, keep the last row
        of every (instrument, date) pair, pivot, labels ascending."""
        rows = rows[["DataDate", "ukey", "x"]].dropna()
        rows = rows.drop_duplicates(subset=["ukey", "DataDate"], keep="last")
        wide = rows.pivot(index="DataDate", columns="ukey", values="x")
        wide = wide.sort_index(axis=0).sort_index(axis=1)
        wide.index.name = None
        wide.columns.name = None
        return wide.astype("float64")

    @classmethod
    def factors_to_matrices(cls, df, names):
        result = OrderedDict((name, empty_matrix()) for name in names)
        if df is None or len(df) == 0:
            return result
        df = df.rename(
            columns={"order_book_id": "ukey", "date": "DataDate", "value": "x", "factor": "factorname",
                     "factor_name": "factorname"}
        )
        if "ukey" not in df.columns or "DataDate" not in df.columns:
            raise KeyError("因子查询返回结果缺少 order_book_id/date 列")
        ids = df["ukey"]
        # instrument key: first six characters of the id's text; rows without an id are dropped later
        df["ukey"] = ids.astype(str).str[:6].where(ids.notna())
        df["DataDate"] = to_yyyymmdd(df["DataDate"])
        if "x" not in df.columns:
            # wide layout: one column per factor
            for name in result:
                if name in df.columns:
                    rows = df[["ukey", "DataDate"]].assign(x=pd.to_numeric(df[name], errors="coerce"))
                    result[name] = cls._pivot(rows)
            return result
        df["x"] = pd.to_numeric(df["x"], errors="coerce").astype("float64")
        if "factorname" in df.columns:
            groups = df.groupby(df["factorname"].astype(str), sort=False)
        elif len(result) == 1:
            groups = [(next(iter(result)), df)]
        else:
            return result
        for name, rows in groups:
            if name in result:
                result[name] = cls._pivot(rows)
        return result

    def read_factor(self, name):
        df = self._read_sql(FACTOR_SQL, (name, query_date(self.start), query_date(self.end)))
        with self.clock.timed("long_to_wide"):
            matrix = self.factors_to_matrices(df, [name]).get(name)
        if matrix is None or len(matrix.index) == 0:
            return empty_matrix()
        return matrix

    def read_or_empty(self, name, reference):
        matrix = self.read_factor(name)
        if len(matrix.index) > 0:
            return matrix
        with self.clock.timed("long_to_wide"):
            return pd.DataFrame(np.nan, index=reference.index, columns=reference.columns)

    def component_matrices(self, component_names):
        result = OrderedDict()
        for name in component_names:
            if name in result:
                continue
            try:
                matrix = self.read_factor(name)
            except Exception:
                # an unreadable membership factor is left out; the build then reports it missing
                continue
            if len(matrix.index) == 0:
                continue
            with self.clock.timed("masks"):
                # a member is a finite value other than 0
                cleaned = matrix.replace([np.inf, -np.inf], np.nan).mask(matrix.eq(0))
                mask = cleaned.notna().astype("float64").replace(0.0, np.nan)
                result[name] = mask.sort_index()
        return result

    # -- benchmark --

    @staticmethod
    def format_benchmark_daily_return(df, benchmark_name, index_code):
        if df is None or len(df) == 0:
            raise KeyError("基准日频数据为空: " + benchmark_name + " (" + index_code + ")")
        df = df.rename(columns={"order_book_id": "ukey", "date": "DataDate"})
        if "DataDate" not in df.columns:
            raise KeyError(benchmark_name + " 基准缺少 DataDate 列")
        df["DataDate"] = to_yyyymmdd(df["DataDate"])
        df = df.dropna(subset=["DataDate"]).sort_values("DataDate", kind="stable")
        if "ukey" in df.columns:
            df = df[df["ukey"].astype(str) == index_code].copy()
        if "daily_return" not in df.columns:
            present = [c for c in BENCHMARK_RETURN_COLUMNS if c in df.columns]
            if present:
                df["daily_return"] = pd.to_numeric(df[present[0]], errors="coerce")
            elif "close" in df.columns:
                close = pd.to_numeric(df["close"], errors="coerce").astype("float64")
                df["daily_return"] = close / close.shift(1) - 1
            else:
                raise KeyError(benchmark_name + " 基准缺少 daily_return/close 列")
        df["daily_return"] = pd.to_numeric(df["daily_return"], errors="coerce").astype("float64")
        keys = ["ukey", "DataDate"] if "ukey" in df.columns else ["DataDate"]
        df = df.drop_duplicates(subset=keys, keep="last").drop_duplicates(subset=["DataDate"], keep="last")
        series = pd.Series(df["daily_return"].to_numpy(), index=df["DataDate"].to_numpy(), name=BENCHMARK_SERIES_NAME)
        return series.dropna().sort_index()

    def read_benchmark_dict(self):
        codes = list(BENCHMARK_INDEX_CODES.values())
        sql = INDEX_SQL.format(",".join("?" * len(codes)))
        df = self._read_sql(sql, codes + [query_date(self.start), query_date(self.end)])
        with self.clock.timed("benchmark"):
            return OrderedDict(
                (short, self.format_benchmark_daily_return(df, short, code))
                for short, code in BENCHMARK_INDEX_CODES.items()
            )

    # -- source data --

    def read_source_data(self):
        component_names = list(COMPONENT_FACTOR_NAMES)
        source = OrderedDict((name, self.read_factor(name)) for name in REQUIRED_FACTOR_NAMES)
        with self.clock.timed("long_to_wide"):
            reference = source["Close"] * 0 + 1
        optional = [(name, self.read_or_empty(name, reference)) for name in OPTIONAL_FACTOR_NAMES]
        source.update(optional)
        component_matrices = self.component_matrices(component_names)
        benchmark_dict = self.read_benchmark_dict()
        return source, component_matrices, benchmark_dict, component_names

    # -- derivation --

    @staticmethod
    def build_from_matrices(source):
        industry_matrix = source["rq_industry_exposure_new"]
        limit_down = source["limit_down"]
        limit_up = source["limit_up"]
        close_price = source["Close"]
        open_price = source["Open"]
        buy_price = source["tick_vwap_price_935_1005"]
        sell_price = source["tick_vwap_price_925_1000"]

        close_price_valid = close_price * 0 + 1

        rq_get_split = source["split_coefficient_to"] / 10 * close_price_valid
        if len(close_price.index):
            rq_get_split = rq_get_split[rq_get_split.index >= close_price.index.min()]
        else:
            rq_get_split = rq_get_split.iloc[0:0]

        rq_get_dividend = source["rq_get_dividend"] / 10 * 0.9 + (close_price_valid - 1)
        if len(close_price.index):
            rq_get_dividend = rq_get_dividend[rq_get_dividend.index <= close_price.index.max()]
        else:
            rq_get_dividend = rq_get_dividend.iloc[0:0]

        filter_stock_raw = source["rq_is_suspended"]
        filter_stock = pd.DataFrame(1.0, index=filter_stock_raw.index, columns=filter_stock_raw.columns).mask(
            filter_stock_raw.eq(1)
        )

        at_limit_down = sell_price.eq(limit_down.reindex(index=sell_price.index, columns=sell_price.columns))
        cant_sell_stock = at_limit_down.add(filter_stock, fill_value=0.0) > 0
        at_limit_up = buy_price.eq(limit_up.reindex(index=buy_price.index, columns=buy_price.columns))
        can_buy_stock = at_limit_up.add(filter_stock, fill_value=0.0) <= 0

        prev_close = close_price.shift(1)

        forward_return = open_price.shift(-2) / open_price.shift(-1) - 1
        forward_return_rank_cache = forward_return.replace([np.inf, -np.inf], np.nan).rank(
            axis=1, method="average"
        )

        return OrderedDict(
            [
                ("industry_matrix", industry_matrix),
                ("close_price", close_price),
                ("open_price", open_price),
                ("close_price_valid", close_price_valid),
                ("prev_close", prev_close),
                ("buy_price", buy_price),
                ("sell_price", sell_price),
                ("rq_get_split", rq_get_split),
                ("rq_get_dividend", rq_get_dividend),
                ("can_buy_stock", can_buy_stock),
                ("cant_sell_stock", cant_sell_stock),
                ("forward_return_rank_cache", forward_return_rank_cache),
            ]
        )

    # -- payload --

    def assemble_payload(self, data, component_matrices, benchmark_dict, component_names):
        component_dataset_keys = OrderedDict()
        for name in component_names:
            component_dataset_keys.setdefault(name, component_dataset_key(name))
        payload_data = OrderedDict(data)
        for name, mask in component_matrices.items():
            payload_data[component_dataset_key(name)] = mask
        payload_data["benchmark_dict"] = benchmark_dict
        meta = OrderedDict(
            [
                ("start_date", self.start),
                ("end_date", self.end),
                ("ddb_start", ddb_date(self.start)),
                ("ddb_end", ddb_date(self.end)),
                ("component_names", list(component_names)),
                ("component_dataset_keys", component_dataset_keys),
                ("created_at", _dt.datetime.now().isoformat()),
            ]
        )
        return OrderedDict([("version", PREPARED_DATA_VERSION), ("meta", meta), ("data", payload_data)])

    def build(self):
        source, component_matrices, benchmark_dict, component_names = self.read_source_data()
        missing = [name for name in component_names if name not in component_matrices]
        if missing:
            raise ValueError("成分股矩阵缺失，无法精确生成二进制缓存: " + repr(missing))
        with self.clock.timed("derivation"):
            data = self.build_from_matrices(source)
        with self.clock.timed("payload"):
            payload = self.assemble_payload(data, component_matrices, benchmark_dict, component_names)
        return payload, component_matrices


# --- Output ----------------------------------------------------------------------------------------------


def _write_labels(path, labels):
    with open(path, "w", encoding="utf-8") as f:
        json.dump([str(label) for label in labels], f, ensure_ascii=False)


def write_matrix(out_dir, stem, matrix, dtype):
    np.save(os.path.join(out_dir, stem + ".npy"), matrix.to_numpy(dtype=dtype))
    _write_labels(os.path.join(out_dir, stem + ".index.json"), matrix.index)
    _write_labels(os.path.join(out_dir, stem + ".columns.json"), matrix.columns)


def write_outputs(out_dir, payload, component_matrices):
    """Every base matrix as <key>.npy, every mask as mask__<factor name>.npy, every benchmark series as
    benchmark__<short name>.npy, each with its labels in JSON beside it."""
    os.makedirs(out_dir, exist_ok=True)
    data = payload["data"]
    for key, dtype in BASE_MATRIX_DTYPE.items():
        write_matrix(out_dir, key, data[key], dtype)
    for name, mask in component_matrices.items():
        write_matrix(out_dir, "mask__" + name, mask, "float64")
    for short, series in data["benchmark_dict"].items():
        np.save(os.path.join(out_dir, "benchmark__" + short + ".npy"), series.to_numpy(dtype="float64"))
        _write_labels(os.path.join(out_dir, "benchmark__" + short + ".index.json"), series.index)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--db", required=True, help="SQLite factor database")
    parser.add_argument("--start", required=True, help="first date, YYYYMMDD")
    parser.add_argument("--end", required=True, help="last date, YYYYMMDD")
    parser.add_argument("--out", help="directory for the .npy outputs (compared with compare_stores.py)")
    parser.add_argument("--timings", help="JSON file for the stage times")
    parser.add_argument("--strftime-every-row", action="store_true",
                        help="format every row's date with .dt.strftime instead of the distinct dates only")
    args = parser.parse_args(argv)
    global STRFTIME_EVERY_ROW
    STRFTIME_EVERY_ROW = args.strftime_every_row

    t0 = time.perf_counter()
    clock = StageClock()
    if not os.path.exists(args.db):
        raise SystemExit("no such database: " + args.db)
    con = sqlite3.connect("file:" + args.db + "?mode=ro", uri=True)
    try:
        build = PandasBuild(con, normalize_yyyymmdd(args.start), normalize_yyyymmdd(args.end), clock)
        payload, component_matrices = build.build()
    finally:
        con.close()
    if args.out:
        with clock.timed("store_write"):
            write_outputs(args.out, payload, component_matrices)
    timings = OrderedDict(clock.seconds)
    timings["total"] = time.perf_counter() - t0
    timings["peak_rss_bytes"] = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024

    if args.timings:
        with open(args.timings, "w", encoding="utf-8") as f:
            json.dump(timings, f, indent=2)
            f.write("\n")
    for stage, value in timings.items():
        if stage == "peak_rss_bytes":
            print("%-14s %10.1f MiB" % (stage, value / 2**20))
        else:
            print("%-14s %10.3f s" % (stage, value))
    return 0


if __name__ == "__main__":
    sys.exit(main())
