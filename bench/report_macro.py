"""Prints the macro benchmark's table for one scale: our stages and the pandas peer's, side by side."""

import json
import os
import sys

STAGES = ["sqlite_read", "long_to_wide", "masks", "benchmark", "derivation", "payload", "store_write", "total"]


def load(path):
    if not os.path.exists(path):
        return None
    with open(path) as f:
        return json.load(f)


def main(scale, data):
    ours = load(os.path.join(data, f"ours-{scale}.json"))
    single = load(os.path.join(data, f"ours-{scale}-1thread.json"))
    peer = load(os.path.join(data, f"peer-{scale}.json"))
    print(f"\nscale {scale}: {ours['long_rows']:,} long rows, {ours['threads']} threads")
    print(f"{'stage':<14}{'ours (s)':>12}{'1 thread':>12}{'pandas (s)':>12}{'pandas/ours':>13}")
    for stage in STAGES:
        mine, theirs = ours[stage], peer[stage] if peer else None
        ratio = f"{theirs / mine:12.1f}x" if theirs is not None and mine > 0 else f"{'-':>13}"
        theirs_text = f"{theirs:12.3f}" if theirs is not None else f"{'-':>12}"
        print(f"{stage:<14}{mine:12.3f}{single[stage]:12.3f}{theirs_text}{ratio}")
    print(f"{'sqlite floor':<14}{ours['sqlite_floor']:12.3f}   (bare sqlite3_step loop; our reads / floor = "
          f"{ours['sqlite_read'] / ours['sqlite_floor']:.2f})")
    rest = ours["total"] - ours["sqlite_read"]
    print(f"everything but the SQLite reads: {rest:.3f} s = {100 * rest / ours['total']:.1f} % of our total")
    if ours["compute_only"] > 0 and peer:
        peer_compute = peer["total"] - peer["sqlite_read"] - peer["store_write"]
        print(f"compute only (in-memory service -> payload): ours {ours['compute_only']:.3f} s, "
              f"pandas {peer_compute:.3f} s, {peer_compute / ours['compute_only']:.1f}x")
    parallel = [s for s in ("long_to_wide", "derivation") if ours[s] > 0]
    for stage in parallel:
        print(f"two threads vs one on {stage}: {single[stage] / ours[stage]:.2f}x")
    rss = f"peak RSS: ours {ours['peak_rss_bytes'] / 2**30:.2f} GiB"
    if peer:
        rss += f", pandas {peer['peak_rss_bytes'] / 2**30:.2f} GiB"
    print(rss)


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
