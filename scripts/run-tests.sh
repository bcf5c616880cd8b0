#!/usr/bin/env bash
# Builds the project and runs every test. Usage: scripts/run-tests.sh [preset]   (default: ci)
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${1:-ci}"
bash scripts/install-deps.sh
cmake --preset "$preset"
cmake --build --preset "$preset"
ctest --preset "$preset"
