#!/usr/bin/python3
"""The Python face against its two references, in one run.

  1. sqlite: a build through the Python modules from the SQLite factor service, written into a store,
     against `velmora-backtest build` on the same database (the same C++ work; the difference is the
     Python boundary). Target: at most 1.05x the tool's time.
  2. frames: a build through a factor service written in Python that answers in-memory pandas frames at
     M scale (3,000 instruments x 1,000 days, long layout, object columns of str as pandas users hold
     them), against the pandas pipeline (peer_pandas.py) computing the same build from the same frames.
     Target: at least 20x faster.

Where the Python-boundary time goes is reported beside: the time spent in the service's own Python code,
and the cost of taking one factor's answer (3 M rows) across the boundary with object columns against
categorical/datetime64 columns, whose conversion copies buffers only.

    PYTHONPATH=build/release/python /usr/bin/python3 bench/python_build.py --tool build/release/tools/velmora-backtest/velmora-backtest \\
        --db bench/data/M.db [--skip-sqlite] [--skip-frames] [--json out.json]

bench/run_python.sh builds what it needs and runs this at M scale.
"""

import argparse
import gc
import json
import os
import shutil
import sqlite3
import subprocess
import sys
import tempfile
import time
from collections import OrderedDict

import numpy as np
import pandas as pd

from velmora import singleton
from velmora.backtest._prepare import BinaryPreparedDataStore, GroupPreparedDataBuilder, get_component_factor_names
from velmora.sqlite_factor_service import SqliteFactorService

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import peer_pandas  # noqa: E402

REPEATS = 2


def best_of(run, repeats=REPEATS):
    times = []
    for _ in range(repeats):
        gc.collect()
        t0 = time.perf_counter()
        run()
        times.append(time.perf_counter() - t0)
    return min(times)


# --- 1. the SQLite service: Python against the tool ------------------------------------------------------


def database_range(db):
    with sqlite3.connect("file:" + db + "?mode=ro", uri=True) as con:
        lo, hi = con.execute("SELECT min(date), max(date) FROM index_daily").fetchone()
    return lo.replace("-", ""), hi.replace("-", "")


def bench_sqlite(tool, db, work):
    start, end = database_range(db)
    tool_store, python_store = os.path.join(work, "tool"), os.path.join(work, "python")

    def run_tool():
        shutil.rmtree(tool_store, ignore_errors=True)
        subprocess.run([tool, "build", "--db", db, "--start", start, "--end", end, "--store", tool_store, "--quiet"],
                       check=True, stdout=subprocess.DEVNULL)

    def run_python():
        shutil.rmtree(python_store, ignore_errors=True)
        singleton.set_instance(SqliteFactorService(db))
        payload = GroupPreparedDataBuilder(start, end).build()
        BinaryPreparedDataStore(python_store).write(payload)
        singleton.set_instance(None)

    tool_seconds, python_seconds = [], []
    for _ in range(REPEATS):  # interleaved, so that both see the same page cache and machine load
        tool_seconds.append(best_of(run_tool, 1))
        python_seconds.append(best_of(run_python, 1))
    result = OrderedDict(tool_s=min(tool_seconds), python_s=min(python_seconds))
    result["ratio"] = result["python_s"] / result["tool_s"]
    return result


# --- 2. in-memory frames: a Python service against the pandas pipeline -----------------------------------


def make_frames(instruments, days, seed=1):
    """One long-layout frame per factor (order_book_id, date, factor, value), and the index quotes.
    Identifiers and dates are str objects shared by every row that holds them, as in a frame a user builds."""
    rng = np.random.default_rng(seed)
    ids = np.array(["%06d.%s" % (600000 + i if i % 2 else i + 1, "XSHG" if i % 2 else "XSHE") for i in range(instruments)],
                   dtype=object)
    dates = np.array(pd.bdate_range("2020-01-02", periods=days).strftime("%Y-%m-%d").tolist(), dtype=object)
    shape = (days, instruments)
    close = 10 * np.exp(np.cumsum(rng.normal(0, 0.02, shape), axis=0)) * rng.uniform(0.5, 20, instruments)
    prev = np.vstack([close[:1], close[:-1]])
    limit_up, limit_down = np.round(prev * 1.1, 2), np.round(prev * 0.9, 2)
    vwap_buy = np.where(rng.random(shape) < 0.02, limit_up, close * rng.normal(1, 0.005, shape))
    vwap_sell = np.where(rng.random(shape) < 0.02, limit_down, close * rng.normal(1, 0.005, shape))
    full = OrderedDict([
        ("rq_industry_exposure_new", np.broadcast_to(rng.integers(1, 31, instruments).astype(float), shape)),
        ("limit_down", limit_down), ("limit_up", limit_up), ("Close", close),
        ("Open", close * rng.normal(1, 0.01, shape)),
        ("tick_vwap_price_935_1005", vwap_buy), ("tick_vwap_price_925_1000", vwap_sell),
        ("rq_is_suspended", (rng.random(shape) < 0.01).astype(float)),
    ])
    all_ids, all_dates = np.tile(ids, days), np.repeat(dates, instruments)

    def frame(name, row_ids, row_dates, values):
        return pd.DataFrame({"order_book_id": row_ids, "date": row_dates,
                             "factor": np.full(len(values), name, dtype=object), "value": values})

    frames = OrderedDict((name, frame(name, all_ids, all_dates, np.ascontiguousarray(cells).ravel()))
                         for name, cells in full.items())
    for name, share, low, high in [("split_coefficient_to", 0.001, 10, 15), ("rq_get_dividend", 0.005, 0.1, 5)]:
        picked = rng.random(days * instruments) < share
        frames[name] = frame(name, all_ids[picked], all_dates[picked], rng.uniform(low, high, picked.sum()))
    for name, members in zip(get_component_factor_names(), [300, 500, 1000, 2000, 400]):
        chosen = rng.choice(instruments, min(members, instruments), replace=False)
        frames[name] = frame(name, np.tile(ids[chosen], days), np.repeat(dates, len(chosen)), np.ones(days * len(chosen)))
    codes = ["000852.XSHG", "000300.XSHG", "000905.XSHG"]
    quotes = 1000 * np.exp(np.cumsum(rng.normal(0, 0.01, (days, 3)), axis=0))
    index = pd.DataFrame({"order_book_id": np.tile(np.array(codes, dtype=object), days),
                          "date": np.repeat(dates, 3), "close": quotes.ravel(),
                          "daily_return": (quotes / np.vstack([quotes[:1], quotes[:-1]]) - 1).ravel()})
    return frames, index


class FrameService:
    """A factor service that answers from in-memory frames, timing its own Python code."""

    def __init__(self, frames, index):
        self.frames, self.index, self.seconds = frames, index, 0.0

    def get_factors(self, factor, start_date, end_date):
        t0 = time.perf_counter()
        names = [factor] if isinstance(factor, str) else factor
        present = [self.frames[name] for name in names if name in self.frames]
        answer = None if not present else present[0] if len(present) == 1 else pd.concat(present, ignore_index=True)
        self.seconds += time.perf_counter() - t0
        return answer

    def get_index_daily(self, order_book_ids, start_date, end_date):
        t0 = time.perf_counter()
        answer = self.index[self.index["order_book_id"].isin(order_book_ids)]
        self.seconds += time.perf_counter() - t0
        return answer


class PeerOnFrames(peer_pandas.PandasBuild):
    """The pandas pipeline reading the same frames instead of SQLite."""

    def __init__(self, frames, index, start, end):
        super().__init__(None, start, end, peer_pandas.StageClock())
        self.frames, self.index = frames, index

    def _read_sql(self, sql, params):
        if sql == peer_pandas.FACTOR_SQL:
            return self.frames.get(params[0], pd.DataFrame(columns=["order_book_id", "date", "factor", "value"]))
        return self.index


def bench_frames(instruments, days):
    t0 = time.perf_counter()
    frames, index = make_frames(instruments, days)
    made = time.perf_counter() - t0
    dates = sorted(set(index["date"]))
    start, end = dates[0].replace("-", ""), dates[-1].replace("-", "")
    rows = sum(len(f) for f in frames.values())

    service = FrameService(frames, index)
    singleton.set_instance(service)
    payloads = []

    def ours():
        service.seconds = 0.0
        payloads[:] = [GroupPreparedDataBuilder(start, end).build()]

    ours_s = best_of(ours)
    service_s = service.seconds
    singleton.set_instance(None)

    peer = {}

    def pandas_pipeline():
        build = PeerOnFrames(frames, index, start, end)
        peer["payload"], _ = build.build()
        peer["stages"] = build.clock.seconds

    peer_s = best_of(pandas_pipeline, 1)
    for key in ["close_price", "can_buy_stock", "forward_return_rank_cache"]:
        a, b = payloads[0]["data"][key], peer["payload"]["data"][key]
        assert list(a.index) == list(b.index) and list(a.columns) == list(b.columns), key
        assert np.array_equal(a.values, b.values.astype(a.values.dtype), equal_nan=a.values.dtype.kind == "f"), key

    # The boundary, one factor: object columns (dictionary-encoded in one pass over the pointers) against
    # categorical and datetime64 columns (buffers copied), through the same long-to-wide conversion.
    close = frames["Close"]
    typed = close.assign(order_book_id=close["order_book_id"].astype("category"), date=pd.to_datetime(close["date"]),
                         factor=close["factor"].astype("category"))
    convert_object = best_of(lambda: GroupPreparedDataBuilder._vm_factors_to_matrices(close, ["Close"]), 3)
    convert_typed = best_of(lambda: GroupPreparedDataBuilder._vm_factors_to_matrices(typed, ["Close"]), 3)
    return OrderedDict(
        instruments=instruments, days=days, long_rows=rows, make_frames_s=made,
        ours_s=ours_s, ours_in_service_python_s=service_s,
        peer_s=peer_s, peer_stages_s=OrderedDict((k, v) for k, v in peer["stages"].items() if v),
        speedup=peer_s / ours_s,
        one_factor_rows=len(close), one_factor_object_columns_s=convert_object,
        one_factor_typed_columns_s=convert_typed)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tool", help="velmora-backtest binary (for the sqlite comparison)")
    parser.add_argument("--db", help="factor database (for the sqlite comparison)")
    parser.add_argument("--instruments", type=int, default=3000)
    parser.add_argument("--days", type=int, default=1000)
    parser.add_argument("--skip-sqlite", action="store_true")
    parser.add_argument("--skip-frames", action="store_true")
    parser.add_argument("--json", help="write the results here too")
    args = parser.parse_args()

    results = OrderedDict()
    if not args.skip_sqlite:
        with tempfile.TemporaryDirectory(dir=os.path.dirname(os.path.abspath(args.db))) as work:
            results["sqlite"] = bench_sqlite(args.tool, args.db, work)
        print("sqlite service: tool %.2f s, python %.2f s, ratio %.3f (target <= 1.05)"
              % (results["sqlite"]["tool_s"], results["sqlite"]["python_s"], results["sqlite"]["ratio"]), flush=True)
    if not args.skip_frames:
        r = results["frames"] = bench_frames(args.instruments, args.days)
        print("frames (%d x %d, %.1f M rows): ours %.2f s (of which %.3f s in the service's Python code), "
              "pandas %.2f s, speedup %.1fx (target >= 20)"
              % (r["instruments"], r["days"], r["long_rows"] / 1e6, r["ours_s"], r["ours_in_service_python_s"],
                 r["peer_s"], r["speedup"]))
        print("  one factor (%.1f M rows) across the boundary and to wide: object columns %.3f s, "
              "categorical/datetime64 columns %.3f s" % (r["one_factor_rows"] / 1e6, r["one_factor_object_columns_s"],
                                                          r["one_factor_typed_columns_s"]))
        print("  pandas stages: " + ", ".join("%s %.2f s" % kv for kv in r["peer_stages_s"].items()))
    if args.json:
        with open(args.json, "w") as f:
            json.dump(results, f, indent=2)
    return 0


if __name__ == "__main__":
    sys.exit(main())
