#!/usr/bin/env bash
# Builds the libFuzzer targets (the fuzz preset: clang, AddressSanitizer, UndefinedBehaviorSanitizer) and
# runs each one for the given number of seconds (default 60), one after the other.
#
#   scripts/fuzz.sh [seconds]
#   FUZZ_TARGETS="fuzz_pickle fuzz_extract" scripts/fuzz.sh 600     # only these targets
#
# Each target starts from its seeds in fuzz/corpus/<what> and keeps the inputs it finds in
# build/fuzz-corpus/<what>, outside the repository, so that the next run goes on from there. A crash or a
# broken invariant leaves the input in build/fuzz-artifacts/ and its log in build/fuzz-logs/; the script
# then exits non-zero after running the other targets. Every such input belongs in a regression test.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
all_targets="fuzz_pickle fuzz_npy_header fuzz_store_load fuzz_extract fuzz_names_dates fuzz_long_to_wide fuzz_package_answer"
targets="${FUZZ_TARGETS:-$all_targets}"

bash scripts/install-deps.sh fuzz
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target $targets

# The dictionary of each target.
dictionary() {
  case "$1" in
    fuzz_pickle | fuzz_store_load) echo fuzz/dict/pickle.dict ;;
    fuzz_npy_header) echo fuzz/dict/npy.dict ;;
    fuzz_extract) echo fuzz/dict/zip.dict ;;
    fuzz_package_answer) echo fuzz/dict/answer.dict ;;
    *) echo "" ;;
  esac
}

mkdir -p build/fuzz-corpus build/fuzz-artifacts build/fuzz-logs
failed=()
for target in $targets; do
  what="${target#fuzz_}"
  corpus="build/fuzz-corpus/$what"
  log="build/fuzz-logs/$target.log"
  mkdir -p "$corpus"
  options=(-max_total_time="$seconds" -rss_limit_mb=2048 -timeout=60 -print_final_stats=1
           -artifact_prefix="build/fuzz-artifacts/$target-")
  dict="$(dictionary "$target")"
  [ -n "$dict" ] && options+=(-dict="$dict")
  echo "== $target for ${seconds}s"
  if "build/fuzz/fuzz/$target" "${options[@]}" "$corpus" "fuzz/corpus/$what" >"$log" 2>&1; then
    # The last status line: executions, coverage (edges) and executions per second.
    grep -E '^#[0-9]+' "$log" | tail -1 || true
    grep -E 'stat::average_exec_per_sec' "$log" || true
  else
    failed+=("$target")
    tail -40 "$log"
  fi
done

if ((${#failed[@]})); then
  echo "fuzzing found faults in: ${failed[*]} (inputs in build/fuzz-artifacts/, logs in build/fuzz-logs/)"
  exit 1
fi
