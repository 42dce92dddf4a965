#!/usr/bin/env bash
# Builds the fuzz targets with clang and runs each, one per core at a time: first over its saved
# regression inputs (each must pass), then for SECONDS seconds on a corpus.
# CMAKE_ARGS (from the environment) go to the configure step.
# A crash leaves its input in build-fuzz/ and fails the run; copy that input into
# tests/fuzz/regressions/<target>/ once the fault is mended.
set -euo pipefail
SECONDS_EACH=${1:-60}
JOBS=$(nproc)
fuzzers=(fuzz_frames fuzz_address fuzz_echo_packet fuzz_page_body)

cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DLANTERRA_FUZZ=ON -DBUILD_TESTING=OFF ${CMAKE_ARGS:-} >/dev/null
cmake --build build-fuzz -j "$JOBS" --target "${fuzzers[@]}"

# One target's whole run; its lines are printed together once it ends, so that
# targets running side by side (one per core) do not interleave.
run_target() {
  local f=$1 out="build-fuzz/$1.out"
  mkdir -p "build-fuzz/corpus/$f" "build-fuzz/crashes/$f"
  {
    echo "== $f: regression inputs"
    if ! "build-fuzz/bin/$f" tests/fuzz/regressions/"$f"/* >"build-fuzz/$f-regressions.log" 2>&1; then
      cat "build-fuzz/$f-regressions.log"; echo "$f: a regression input fails"; exit 1
    fi
    echo "== $f: ${SECONDS_EACH} s"
    if ! "build-fuzz/bin/$f" -max_total_time="$SECONDS_EACH" -artifact_prefix="build-fuzz/crashes/$f/" \
        "build-fuzz/corpus/$f" "tests/fuzz/regressions/$f" >"build-fuzz/$f.log" 2>&1; then
      tail -n 40 "build-fuzz/$f.log"; echo "$f: crash, input saved in build-fuzz/crashes/$f/"; exit 1
    fi
    tail -n 1 "build-fuzz/$f.log"
  } >"$out" 2>&1
}

failed=0
running=0
for f in "${fuzzers[@]}"; do
  if [ "$running" -ge "$JOBS" ]; then
    wait -n || failed=1
    running=$((running - 1))
  fi
  run_target "$f" &
  running=$((running + 1))
done
while [ "$running" -gt 0 ]; do
  wait -n || failed=1
  running=$((running - 1))
done
for f in "${fuzzers[@]}"; do cat "build-fuzz/$f.out"; done
exit "$failed"
