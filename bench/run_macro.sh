#!/usr/bin/env bash
# The macro benchmark: our full build against the pandas peer on the same sample databases, stage by stage.
# Usage: bench/run_macro.sh [S] [M] [L]   (default: S M)
#   S: 300 instruments × 250 days, M: 3,000 × 1,000, L: 6,000 × 2,430 (~180 M long rows; generated once)
# Databases and results are kept in bench/data/ (ignored by git). Needs Debian's python3-pandas.
set -euo pipefail
cd "$(dirname "$0")/.."
scales=("$@")
[ ${#scales[@]} -eq 0 ] && scales=(S M)

bash scripts/install-deps.sh
cmake --preset release -DVELMORA_BUILD_TESTS=OFF >/dev/null
cmake --build --preset release --target velmora-backtest macro_build
tool=build/release/tools/velmora-backtest/velmora-backtest
macro=build/release/bench/macro_build
data=bench/data
mkdir -p "$data"

for scale in "${scales[@]}"; do
  case "$scale" in
    S) instruments=300; days=250 ;;
    M) instruments=3000; days=1000 ;;
    L) instruments=6000; days=2430 ;;
    *) echo "unknown scale $scale (S, M or L)" >&2; exit 2 ;;
  esac
  db="$data/$scale.db"
  [ -f "$db" ] || "$tool" sample --db "$db" --instruments "$instruments" --days "$days" --seed 1
  read -r start end < <(/usr/bin/python3 -c "
import sqlite3, sys
lo, hi = sqlite3.connect(sys.argv[1]).execute('SELECT min(date), max(date) FROM index_daily').fetchone()
print(lo.replace('-', ''), hi.replace('-', ''))" "$db")

  echo "== $scale: $instruments instruments x $days days ($start to $end)" >&2
  extra=()
  [ "$scale" = L ] && extra=(--skip-compute-only 1)  # the in-memory copy of L would not fit beside the build
  rm -rf "$data/ours-$scale"
  "$macro" --db "$db" --start "$start" --end "$end" --store "$data/ours-$scale" --threads 1 "${extra[@]}" \
    > "$data/ours-$scale-1thread.json"
  rm -rf "$data/ours-$scale"
  "$macro" --db "$db" --start "$start" --end "$end" --store "$data/ours-$scale" "${extra[@]}" > "$data/ours-$scale.json"
  if [ "$scale" != L ]; then
    rm -rf "$data/peer-$scale"
    /usr/bin/python3 bench/peer_pandas.py --db "$db" --start "$start" --end "$end" --out "$data/peer-$scale" \
      --timings "$data/peer-$scale.json"
  fi
  /usr/bin/python3 bench/report_macro.py "$scale" "$data"
done
