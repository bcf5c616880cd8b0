#!/usr/bin/env bash
# The Python face's benchmark (bench/python_build.py) at M scale: the build through Python from the SQLite
# service against the tool's build on the same database, and a Python service answering in-memory pandas
# frames against the pandas pipeline on the same frames.
# Usage: bench/run_python.sh [preset]   (default: release; any optimised preset with the tool and the modules)
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${1:-release}"

bash scripts/install-deps.sh
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" --target velmora-backtest velmora_python
tool="build/$preset/tools/velmora-backtest/velmora-backtest"
mkdir -p bench/data
db=bench/data/M.db
[ -f "$db" ] || "$tool" sample --db "$db" --instruments 3000 --days 1000 --seed 1
PYTHONPATH="build/$preset/python" /usr/bin/python3 bench/python_build.py --tool "$tool" --db "$db" \
  --json bench/data/python-M.json
