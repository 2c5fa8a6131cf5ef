#!/usr/bin/env bash
# Builds the libFuzzer targets of tests/fuzz with clang into build-fuzz/ and
# runs each for SECONDS (default 300), starting from the seeds kept in
# tests/fuzz/corpus/<target>/. What a run adds to the corpus stays in
# build-fuzz/corpus/; a failing input is written to build-fuzz/artifacts/.
# usage: scripts/fuzz.sh [SECONDS] [TARGET...]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-300}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(since_text change_entry end_text stamp_text ini_config)
build=build-fuzz

scripts/install-deps.sh clang-14 libclang-rt-14-dev
if [ ! -f "$build/CMakeCache.txt" ]; then
  CC=clang-14 CXX=clang++-14 cmake -S tests/fuzz -B "$build" -DCMAKE_BUILD_TYPE=Debug >/dev/null
fi
cmake --build "$build" -j 2 --target "${targets[@]/#/fuzz_}"

mkdir -p "$build/artifacts"
for target in "${targets[@]}"; do
  mkdir -p "$build/corpus/$target"
  echo "fuzz_$target: $seconds s"
  if ! "$build/fuzz_$target" -max_total_time="$seconds" -print_final_stats=1 \
      -artifact_prefix="$build/artifacts/$target-" \
      "$build/corpus/$target" "tests/fuzz/corpus/$target" >"$build/fuzz_$target.log" 2>&1; then
    tail -n 40 "$build/fuzz_$target.log"
    echo "fuzz_$target failed; the input is in $build/artifacts/"
    exit 1
  fi
  grep -E '^stat::number_of_executed_units|^stat::new_units_added' "$build/fuzz_$target.log" | tr '\n' ' '
  echo
done
