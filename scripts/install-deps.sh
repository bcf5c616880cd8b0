#!/usr/bin/env bash
# Installs the Debian 12 packages that building, testing and benchmarking need. Idempotent: asks apt only
# for what is missing, and runs `apt-get update` at most once.
# Usage: scripts/install-deps.sh [fuzz]   ("fuzz" adds clang and libFuzzer, which only scripts/fuzz.sh needs)
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  libsqlite3-dev libcurl4-openssl-dev libzip-dev zlib1g-dev
  nlohmann-json3-dev libcli11-dev
  libgtest-dev libgmock-dev libbenchmark-dev libcpp-httplib-dev
  python3 python3-numpy python3-pandas python3-dev python3-pytest pybind11-dev zip
  python3-venv python3-pip python3-setuptools python3-wheel python3-mypy
)
if [ "${1:-}" = fuzz ]; then
  packages+=(clang libclang-rt-14-dev)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if ((${#missing[@]})); then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  echo "Installing: ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
