#!/usr/bin/env bash
# The main job on the embedded sample data: installs what is missing, builds the tool and the Python package
# (PYTHONPATH=build/release/python then imports it), writes a sample factor database, builds a
# prepared-data store from it and prints what the store holds.
# Usage: scripts/main-job.sh [work-dir]   (default: ./sample-run)
set -euo pipefail
cd "$(dirname "$0")/.."
work="${1:-sample-run}"
bash scripts/install-deps.sh
cmake --preset release -DPython3_EXECUTABLE=/usr/bin/python3 >/dev/null
cmake --build --preset release --target velmora-backtest velmora_python
tool=build/release/tools/velmora-backtest/velmora-backtest

mkdir -p "$work"
"$tool" sample --db "$work/sample.db" --force
"$tool" build --db "$work/sample.db" --start 20230102 --end 20231215 --store "$work/store"
"$tool" load --store "$work/store"

# The same store through the Python package of this build.
PYTHONPATH=build/release/python /usr/bin/python3 -c "
from velmora.backtest import BinaryPreparedDataStore
store = BinaryPreparedDataStore('$work/store')
print(repr(store), 'close_price', store.load(keys=['close_price'])['data']['close_price'].shape)"
