#!/usr/bin/python3
"""Compare the pandas peer's output directory with a prepared-data store written by our library.

    /usr/bin/python3 bench/compare_stores.py --peer DIR --ours DIR [--rtol R] [--show N]

Every base dataset, every membership mask and every benchmark series is compared: row and column labels
(as ordered lists), cell type (float64 or bool) and every cell. NaN equals NaN. Floats are compared
exactly by default; --rtol R accepts |a - b| <= R * max(|a|, |b|) instead (infinities must still match
exactly). Exits 0 when everything matches, 1 with a report of each difference otherwise, 2 when a
directory cannot be read.

The peer writes <key>.npy, mask__<factor>.npy and benchmark__<short>.npy, each with .index.json (and,
for matrices, .columns.json) beside it. Our store is a directory with metadata.pkl, a pickled dict whose
"datasets" maps each dataset key to {"file", "dtype", "shape", "index", "columns", ...} and whose
"benchmark_dict" maps each benchmark short name to {"file", "index", ...}; files are .npy paths relative
to the store directory. Membership masks are stored under "component__" + the factor name (escaped).
Only open_our_store knows that layout.
"""

import argparse
import glob
import json
import os
import pickle
import sys

import numpy as np

from peer_pandas import component_dataset_key  # the library's dataset key, written once for both scripts

BASE_KEYS = [
    "industry_matrix",
    "close_price",
    "open_price",
    "close_price_valid",
    "prev_close",
    "buy_price",
    "sell_price",
    "rq_get_split",
    "rq_get_dividend",
    "can_buy_stock",
    "cant_sell_stock",
    "forward_return_rank_cache",
]
BOOL_KEYS = {"can_buy_stock", "cant_sell_stock"}


class Dataset:
    """One matrix or series: ordered labels and a loader for the cells (loaded only when compared)."""

    def __init__(self, index, columns, load, declared_dtype=None):
        self.index = [str(label) for label in index]
        self.columns = None if columns is None else [str(label) for label in columns]
        self._load = load
        self.declared_dtype = declared_dtype

    def cells(self):
        return self._load()


def _npy_loader(path):
    return lambda: np.load(path, mmap_mode="r", allow_pickle=False)


def _read_json(path):
    with open(path, encoding="utf-8") as f:
        return json.load(f)


def open_our_store(store_dir):
    """Our store as {"datasets": key -> Dataset, "benchmarks": short name -> Dataset}."""
    with open(os.path.join(store_dir, "metadata.pkl"), "rb") as f:
        metadata = pickle.load(f)
    datasets = {}
    for key, entry in (metadata.get("datasets") or {}).items():
        datasets[key] = Dataset(
            entry.get("index", []),
            entry.get("columns", []),
            _npy_loader(os.path.join(store_dir, entry["file"])),
            entry.get("dtype"),
        )
    benchmarks = {}
    for name, entry in (metadata.get("benchmark_dict") or {}).items():
        benchmarks[name] = Dataset(entry.get("index", []), None, _npy_loader(os.path.join(store_dir, entry["file"])))
    return {"datasets": datasets, "benchmarks": benchmarks}


def open_peer_output(peer_dir):
    """The peer's directory in the same shape; masks are keyed by our dataset key for their factor."""

    def matrix(stem):
        base = os.path.join(peer_dir, stem)
        return Dataset(_read_json(base + ".index.json"), _read_json(base + ".columns.json"), _npy_loader(base + ".npy"))

    datasets = {}
    for key in BASE_KEYS:
        if os.path.exists(os.path.join(peer_dir, key + ".npy")):
            datasets[key] = matrix(key)
    for path in sorted(glob.glob(os.path.join(peer_dir, "mask__*.npy"))):
        stem = os.path.basename(path)[: -len(".npy")]
        datasets[component_dataset_key(stem[len("mask__"):])] = matrix(stem)
    benchmarks = {}
    for path in sorted(glob.glob(os.path.join(peer_dir, "benchmark__*.npy"))):
        stem = os.path.basename(path)[: -len(".npy")]
        base = os.path.join(peer_dir, stem)
        benchmarks[stem[len("benchmark__"):]] = Dataset(_read_json(base + ".index.json"), None, _npy_loader(base + ".npy"))
    return {"datasets": datasets, "benchmarks": benchmarks}


# --- comparison --------------------------------------------------------------------------------------------


def _label_difference(what, peer, ours):
    if peer == ours:
        return None
    if sorted(peer) == sorted(ours):
        return "%s: same labels in a different order" % what
    only_peer = [x for x in peer if x not in set(ours)]
    only_ours = [x for x in ours if x not in set(peer)]
    return "%s differ: %d vs %d labels; only in peer %s; only in ours %s" % (
        what, len(peer), len(ours), only_peer[:5], only_ours[:5])


def _cell_kind(array):
    if array.dtype == np.bool_:
        return "bool"
    if array.dtype == np.float64:
        return "float64"
    return str(array.dtype)


def _unequal_cells(a, b, rtol):
    """Boolean array: True where the two cells differ (NaN equals NaN)."""
    if a.dtype == np.bool_ or b.dtype == np.bool_:
        return a != b
    both_nan = np.isnan(a) & np.isnan(b)
    if rtol == 0.0:
        same = (a == b) | both_nan
    else:
        with np.errstate(invalid="ignore"):
            close = np.abs(a - b) <= rtol * np.maximum(np.abs(a), np.abs(b))
        same = (a == b) | both_nan | (np.isfinite(a) & np.isfinite(b) & close)
    return ~same


def compare_dataset(name, peer, ours, rtol, show):
    """A list of report lines; empty when the two are equal."""
    problems = []
    for what, p, o in (("row labels", peer.index, ours.index), ("column labels", peer.columns, ours.columns)):
        if p is None and o is None:
            continue
        message = _label_difference(what, p, o)
        if message:
            problems.append(message)
    a = np.asarray(peer.cells())
    b = np.asarray(ours.cells())
    if _cell_kind(a) != _cell_kind(b):
        problems.append("cell type: peer %s, ours %s" % (_cell_kind(a), _cell_kind(b)))
    if ours.declared_dtype is not None and ours.declared_dtype != _cell_kind(b):
        problems.append("ours declares dtype %s but its file holds %s" % (ours.declared_dtype, _cell_kind(b)))
    expected_shape = (len(peer.index),) if peer.columns is None else (len(peer.index), len(peer.columns))
    if a.shape != expected_shape:
        problems.append("peer file shape %s does not match its labels %s" % (a.shape, expected_shape))
    expected_shape = (len(ours.index),) if ours.columns is None else (len(ours.index), len(ours.columns))
    if b.shape != expected_shape:
        problems.append("our file shape %s does not match its labels %s" % (b.shape, expected_shape))
    if problems:
        return problems
    if a.dtype != b.dtype:
        a, b = a.astype(np.float64), b.astype(np.float64)
    diff = _unequal_cells(a, b, rtol)
    count = int(np.count_nonzero(diff))
    if count:
        problems.append("%d of %d cells differ" % (count, diff.size))
        for position in np.argwhere(diff)[:show]:
            row = peer.index[position[0]]
            label = row if peer.columns is None else "%s, %s" % (row, peer.columns[position[1]])
            problems.append("  [%s] peer %r, ours %r" % (label, a[tuple(position)].item(), b[tuple(position)].item()))
    return problems


def compare(peer, ours, rtol=0.0, show=5):
    """(report lines, number of datasets with a difference, number compared)."""
    lines, failed, compared = [], 0, 0
    for section in ("datasets", "benchmarks"):
        p, o = peer[section], ours[section]
        for key in list(p) + [k for k in o if k not in p]:
            label = key if section == "datasets" else "benchmark " + key
            if key not in o:
                lines.append("%s: only in the peer's output" % label)
                failed += 1
                continue
            if key not in p:
                lines.append("%s: only in our store" % label)
                failed += 1
                continue
            compared += 1
            problems = compare_dataset(label, p[key], o[key], rtol, show)
            if problems:
                failed += 1
                lines.append("%s: DIFFERENT" % label)
                lines.extend("  " + problem for problem in problems)
            else:
                lines.append("%s: equal" % label)
    return lines, failed, compared


def main(argv=None):
    parser = argparse.ArgumentParser(description="Compare the pandas peer's output with our store, cell for cell.")
    parser.add_argument("--peer", required=True, help="output directory of peer_pandas.py --out")
    parser.add_argument("--ours", required=True, help="store directory written by our library")
    parser.add_argument("--rtol", type=float, default=0.0, help="relative tolerance for float cells (default: exact)")
    parser.add_argument("--show", type=int, default=5, help="differing cells listed per dataset")
    args = parser.parse_args(argv)
    try:
        peer = open_peer_output(args.peer)
        ours = open_our_store(args.ours)
    except (OSError, ValueError, KeyError, pickle.UnpicklingError) as error:
        print("cannot read the outputs: %s" % error, file=sys.stderr)
        return 2
    lines, failed, compared = compare(peer, ours, args.rtol, args.show)
    print("\n".join(lines))
    tolerance = "exact" if args.rtol == 0.0 else "relative tolerance %g" % args.rtol
    if failed:
        print("\n%d dataset(s) differ (%d compared, floats %s)" % (failed, compared, tolerance))
        return 1
    print("\nall %d datasets equal (floats %s)" % (compared, tolerance))
    return 0


if __name__ == "__main__":
    sys.exit(main())
