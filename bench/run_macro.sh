#!/usr/bin/env bash
# The macro benchmark: our builds against the pandas peer on the same sample databases, stage by stage.
# Usage: bench/run_macro.sh [S] [M] [L]   (default: S M)
#   S: 300 instruments × 250 days, M: 3,000 × 1,000, L: 6,000 × 2,430 (110 M long rows; generated once)
# Each scale runs on a database filled day by day (rows of every factor interleaved date by date, as a
# daily job leaves them) and, except at L, also on one loaded factor by factor. LAYOUTS="by-date by-factor"
# overrides the layouts of every scale. REPEATS=N (default 1) runs each of our builds N times; the report
# takes the median. PEER=keep reuses the pandas peer's timings of an earlier run on the same database
# instead of running it again. Databases and results are kept in bench/data/ (ignored by git). Needs
# Debian's python3-pandas.
set -euo pipefail
cd "$(dirname "$0")/.."
scales=("$@")
[ ${#scales[@]} -eq 0 ] && scales=(S M)
repeats=${REPEATS:-1}

bash scripts/install-deps.sh
cmake --preset release -DVELMORA_BUILD_TESTS=OFF -DPython3_EXECUTABLE=/usr/bin/python3 >/dev/null
cmake --build --preset release --target velmora-backtest macro_build
tool=build/release/tools/velmora-backtest/velmora-backtest
macro=build/release/bench/macro_build
data=bench/data
mkdir -p "$data"

for scale in "${scales[@]}"; do
  case "$scale" in
    S) instruments=300; days=250; layouts=(by-date by-factor) ;;
    M) instruments=3000; days=1000; layouts=(by-date by-factor) ;;
    L) instruments=6000; days=2430; layouts=(by-date) ;;
    *) echo "unknown scale $scale (S, M or L)" >&2; exit 2 ;;
  esac
  [ -n "${LAYOUTS:-}" ] && read -r -a layouts <<< "$LAYOUTS"
  for layout in "${layouts[@]}"; do
    tag="$scale-$layout"
    db="$data/$tag.db"
    [ -f "$db" ] || "$tool" sample --db "$db" --instruments "$instruments" --days "$days" --seed 1 --layout "$layout" --quiet
    read -r start end < <(/usr/bin/python3 -c "
import sqlite3, sys
lo, hi = sqlite3.connect(sys.argv[1]).execute('SELECT min(date), max(date) FROM index_daily').fetchone()
print(lo.replace('-', ''), hi.replace('-', ''))" "$db")
    # Read once untimed, so that every run finds the file in the page cache.
    cat "$db" > /dev/null

    echo "== $tag: $instruments instruments x $days days ($start to $end)" >&2
    rm -f "$data/ours-$tag"*.json
    run_ours() {  # run_ours OUTPUT ARGS...
      local out=$1; shift
      rm -rf "$data/ours-store-$tag"
      "$macro" --db "$db" --start "$start" --end "$end" --store "$data/ours-store-$tag" "$@" >> "$out"
    }
    extra=()
    [ "$scale" != L ] && extra=(--compute-only 1)  # the in-memory copy of L would not fit beside the build
    # Each round runs the full, the batch and the one-thread build back to back, so that the builds compared
    # with each other meet the same state of the machine.
    # The floors over the table run in every round, just before the builds, so that each build meets the
    # floors' state of the machine; the report compares the best of each.
    for ((i = 0; i < repeats; i++)); do
      if ((i == 0)); then run_ours "$data/ours-$tag.json" --floors all "${extra[@]}"; else run_ours "$data/ours-$tag.json" --floors scan; fi
      run_ours "$data/ours-$tag-batch.json" --mode batch
      run_ours "$data/ours-$tag-1thread.json" --threads 1
    done
    du -sb "$data/ours-store-$tag" | cut -f1 > "$data/ours-$tag-store-bytes"
    rm -rf "$data/ours-store-$tag"

    if [ "${PEER:-}" != keep ] || [ ! -f "$data/peer-$tag.json" ]; then
      rm -rf "$data/peer-$tag"
      /usr/bin/python3 bench/peer_pandas.py --db "$db" --start "$start" --end "$end" --out "$data/peer-$tag" \
        --timings "$data/peer-$tag.json"
      rm -rf "$data/peer-$tag"
    fi
    /usr/bin/python3 bench/report_macro.py "$tag" "$data"
  done
done
/usr/bin/python3 bench/report_macro.py --growth "$data"
