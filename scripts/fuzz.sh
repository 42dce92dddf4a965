#!/usr/bin/env bash
# Builds the fuzz targets with clang and runs each: first over its saved
# regression inputs (each must pass), then for SECONDS seconds on a corpus.
# CMAKE_ARGS (from the environment) go to the configure step.
# A crash leaves its input in build-fuzz/ and fails the run; copy that input into
# tests/fuzz/regressions/<target>/ once the fault is mended.
set -euo pipefail
SECONDS_EACH=${1:-60}
JOBS=$(nproc)
fuzzers=(fuzz_frames fuzz_address fuzz_text_number fuzz_echo_packet fuzz_page_body)

cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DLANTERRA_FUZZ=ON -DBUILD_TESTING=OFF ${CMAKE_ARGS:-} >/dev/null
cmake --build build-fuzz -j "$JOBS" --target "${fuzzers[@]}"

for f in "${fuzzers[@]}"; do
  mkdir -p "build-fuzz/corpus/$f" "build-fuzz/crashes/$f"
  echo "== $f: regression inputs"
  "build-fuzz/bin/$f" tests/fuzz/regressions/"$f"/* >"build-fuzz/$f-regressions.log" 2>&1 \
    || { cat "build-fuzz/$f-regressions.log"; echo "$f: a regression input fails"; exit 1; }
  echo "== $f: ${SECONDS_EACH} s"
  "build-fuzz/bin/$f" -max_total_time="$SECONDS_EACH" -artifact_prefix="build-fuzz/crashes/$f/" \
    "build-fuzz/corpus/$f" "tests/fuzz/regressions/$f" >"build-fuzz/$f.log" 2>&1 \
    || { tail -n 40 "build-fuzz/$f.log"; echo "$f: crash, input saved in build-fuzz/crashes/$f/"; exit 1; }
  tail -n 1 "build-fuzz/$f.log"
done
