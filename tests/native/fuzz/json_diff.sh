#!/usr/bin/env bash
# Differential fuzzing of the JSON layer against the nlohmann-based one it
# replaced (temporary: goes away with fuzz_json_diff.cpp and legacy_json.*).
#
#   tests/native/fuzz/json_diff.sh [SECONDS]
#
# Builds in build/diff, seeds fuzz-out/corpus/json_diff, and leaves the
# survey of verdicts, fault positions and written texts in
# fuzz-out/json_diff.summary.
set -euo pipefail
cd "$(dirname "$0")/../../.."
seconds="${1:-600}"

command -v clang++ >/dev/null || { apt-get update -qq && apt-get install -y -qq clang libclang-rt-14-dev >/dev/null; }
python3 -m pip install -q "yyjson==4.0.6" "nlohmann-json==3.12.0" >/dev/null 2>&1
CC=clang CXX=clang++ cmake -S . -B build/diff -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORVEL_BUILD_MODULE=OFF \
  -DQUORVEL_BUILD_NATIVE_TESTS=ON -DQUORVEL_FUZZ=ON -DQUORVEL_FUZZ_DIFF=ON -DQUORVEL_SANITIZE=address,undefined \
  -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link" -DPython_EXECUTABLE="$(command -v python3)" >/dev/null
cmake --build build/diff --target fuzz_json_diff >/dev/null
python3 tests/native/fuzz/make_seeds.py fuzz-out/corpus

mkdir -p fuzz-out/crashes/json_diff
QUORVEL_DIFF_SUMMARY=fuzz-out/json_diff.summary ASAN_OPTIONS="detect_leaks=1:${ASAN_OPTIONS:-}" \
  UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1" \
  build/diff/tests/native/fuzz_json_diff fuzz-out/corpus/json_diff \
    -dict=tests/native/fuzz/graphql_json.dict -max_total_time="$seconds" -max_len=4096 \
    -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix=fuzz-out/crashes/json_diff/ 2>fuzz-out/json_diff.log
grep -E "^stat::number_of_executed_units" fuzz-out/json_diff.log || true
grep -oE "cov: [0-9]+ ft: [0-9]+ corp: [0-9]+/[0-9a-zA-Z]+" fuzz-out/json_diff.log | tail -1
python3 tests/native/fuzz/diff_summary.py fuzz-out/json_diff.summary
