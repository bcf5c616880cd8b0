"""Prints the macro benchmark's tables.

    report_macro.py TAG DATA     one database (TAG is "<scale>-<layout>"): our stages against the pandas peer's
    report_macro.py --growth DATA  how the rate of each stage grows from S to M to L, per layout

Our result files hold one JSON object per run; each figure is the median over the runs.
"""

import json
import os
import statistics
import sys

STAGES = ["sqlite_read", "long_to_wide", "masks", "benchmark", "derivation", "payload", "store_write", "total"]
SCALES = ["S", "M", "L"]


def runs(path):
    if not os.path.exists(path):
        return []
    with open(path) as f:
        text = f.read().strip()
    try:
        return [json.loads(line) for line in text.splitlines() if line.strip()]
    except json.JSONDecodeError:
        return [json.loads(text)]  # the peer's single, indented object


def median(results):
    """Every numeric field's median over the runs (the first run's value for fields only it has)."""
    if not results:
        return None
    merged = dict(results[0])
    for key, value in results[0].items():
        if isinstance(value, (int, float)):
            values = [r[key] for r in results if isinstance(r.get(key), (int, float)) and r.get(key)]
            if values:
                merged[key] = statistics.median(values)
    return merged


def load(data, name):
    return median(runs(os.path.join(data, name)))


def paired_ratio(data, tag, suffix, key):
    """The median over rounds of (the other build's `key` / the full build's `key`), pairing the runs of one
    round, which ran back to back; None without pairs."""
    full = runs(os.path.join(data, f"ours-{tag}.json"))
    other = runs(os.path.join(data, f"ours-{tag}-{suffix}.json"))
    ratios = [o[key] / f[key] for f, o in zip(full, other) if f.get(key) and o.get(key)]
    return statistics.median(ratios) if ratios else None


def best_floors(data, tag):
    """The fastest of the rounds' scan floors (one connection, one per core); None without them."""
    measured = [r for r in runs(os.path.join(data, f"ours-{tag}.json")) if r.get("sqlite_core_floor")]
    if not measured:
        return None
    return {"one": min(r["sqlite_scan_floor"] for r in measured),
            "per_core": min(r["sqlite_core_floor"] for r in measured),
            "cores": measured[0]["cores"], "rounds": len(measured)}


def gib(n):
    return n / 2**30


def report(tag, data):
    ours = load(data, f"ours-{tag}.json")
    single = load(data, f"ours-{tag}-1thread.json")
    batch = load(data, f"ours-{tag}-batch.json")
    peer = load(data, f"peer-{tag}.json")
    store_bytes_path = os.path.join(data, f"ours-{tag}-store-bytes")
    store_bytes = int(open(store_bytes_path).read()) if os.path.exists(store_bytes_path) else None

    print(f"\n{tag}: {ours['long_rows']:,} long rows, {ours['threads']} threads, "
          f"median of {len(runs(os.path.join(data, f'ours-{tag}.json')))} run(s)")
    print(f"{'stage':<14}{'full (s)':>10}{'1 thread':>10}{'batch':>10}{'pandas':>10}{'pandas/full':>13}")
    for stage in STAGES:
        mine = ours[stage]
        theirs = peer.get(stage) if peer else None
        ratio = f"{theirs / mine:12.1f}x" if theirs is not None and mine > 0 else f"{'-':>13}"
        cells = [f"{mine:10.3f}", f"{single[stage]:10.3f}" if single else f"{'-':>10}",
                 f"{batch[stage]:10.3f}" if batch else f"{'-':>10}",
                 f"{theirs:10.3f}" if theirs is not None else f"{'-':>10}"]
        print(f"{stage:<14}{''.join(cells)}{ratio}")
    if ours.get("sqlite_floor"):
        rows = ours["long_rows"]
        print(f"SQLite floors (bare sqlite3_step loops, one connection): through the index, factor by factor "
              f"{ours['sqlite_floor']:.3f} s ({rows / ours['sqlite_floor'] / 1e6:.2f} M rows/s); one pass over "
              f"the table {ours['sqlite_scan_floor']:.3f} s ({ours['table_rows'] / ours['sqlite_scan_floor'] / 1e6:.2f} "
              f"M table rows/s). Our read: {ours['sqlite_read']:.3f} s")
    floors = best_floors(data, tag)
    if floors:
        full_runs = runs(os.path.join(data, f"ours-{tag}.json"))
        best_read = min(r["sqlite_read"] for r in full_runs)
        best_total = min(r["total"] for r in full_runs)
        print(f"best of {floors['rounds']} round(s): one pass over the table on one connection "
              f"{floors['one']:.3f} s, on {floors['cores']} connections (one per core, equal rowid ranges) "
              f"{floors['per_core']:.3f} s ({floors['one'] / floors['per_core']:.2f}x from one to "
              f"{floors['cores']}); our read {best_read:.3f} s ({best_read / floors['per_core']:.2f}x the per-core "
              f"floor), our whole build with the store write {best_total:.3f} s "
              f"({best_total / floors['per_core']:.2f}x the per-core floor)")
        if peer:
            print(f"pandas / our best full build: {peer['total'] / best_total:.1f}x")
    if ours.get("compute_only") and peer:
        peer_compute = peer["total"] - peer["sqlite_read"] - peer["store_write"]
        print(f"compute only (in-memory service -> payload): ours {ours['compute_only']:.3f} s, "
              f"pandas {peer_compute:.3f} s, {peer_compute / ours['compute_only']:.1f}x")
    if single:
        for stage in ("sqlite_read", "long_to_wide", "derivation", "total"):
            if ours[stage] > 0:
                print(f"two threads vs one on {stage}: {single[stage] / ours[stage]:.2f}x of medians, "
                      f"{paired_ratio(data, tag, '1thread', stage):.2f}x median of rounds")
    if batch:
        print(f"batch build vs full build: {batch['total']:.3f} s vs {ours['total']:.3f} s "
              f"({batch['total'] / ours['total']:.2f}x the time of medians, "
              f"{paired_ratio(data, tag, 'batch', 'total'):.2f}x median of rounds)")
    if peer:
        print(f"store write: ours (synced) {ours['store_write']:.3f} s, numpy.save (not synced) "
              f"{peer['store_write']:.3f} s ({ours['store_write'] / peer['store_write']:.2f}x the time)")
    rss = f"peak RSS: full {gib(ours['peak_rss_bytes']):.2f} GiB"
    if batch:
        rss += f", batch {gib(batch['peak_rss_bytes']):.2f} GiB (+{gib(batch['peak_rss_bytes'] - ours['peak_rss_bytes']):.2f})"
    if peer:
        rss += f", pandas {gib(peer['peak_rss_bytes']):.2f} GiB"
    if store_bytes:
        rss += f"; payload files {gib(store_bytes):.2f} GiB, full - payload = " \
               f"{gib(ours['peak_rss_bytes'] - store_bytes):+.2f} GiB"
    print(rss)


def growth(data):
    layouts = ["by-date", "by-factor"]
    for layout in layouts:
        results = {s: load(data, f"ours-{s}-{layout}.json") for s in SCALES}
        results = {s: r for s, r in results.items() if r}
        if not results:
            continue
        print(f"\ngrowth, {layout} layout: M long rows per second of each stage (full build)")
        print(f"{'stage':<14}" + "".join(f"{s + ' (' + format(r['long_rows'] / 1e6, '.1f') + ' M)':>16}"
                                         for s, r in results.items()))
        for stage in STAGES:
            print(f"{stage:<14}" + "".join(f"{r['long_rows'] / r[stage] / 1e6 if r[stage] > 0 else 0:16.2f}"
                                           for r in results.values()))


if __name__ == "__main__":
    if sys.argv[1] == "--growth":
        growth(sys.argv[2])
    else:
        report(sys.argv[1], sys.argv[2])
