#!/usr/bin/env bash
# The main job on the embedded sample data: installs what is missing, builds the tool, writes a sample
# factor database, builds a prepared-data store from it and prints what the store holds.
# Usage: scripts/main-job.sh [work-dir]   (default: ./sample-run)
set -euo pipefail
cd "$(dirname "$0")/.."
work="${1:-sample-run}"
bash scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release --target velmora-backtest
tool=build/release/tools/velmora-backtest/velmora-backtest

mkdir -p "$work"
"$tool" sample --db "$work/sample.db"
"$tool" build --db "$work/sample.db" --start 20230102 --end 20231215 --store "$work/store"
"$tool" load --store "$work/store"
