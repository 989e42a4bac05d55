#!/usr/bin/env bash
# Builds the libFuzzer targets with clang under ASan + UBSan and runs each one:
# first over its seed corpus in fuzz/corpus/<target>/ (a regression run: every
# seed and every earlier crash input must pass), then fuzzing for a bounded
# time. New inputs go to a scratch directory, not into the tree.
#
# Environment:
#   FUZZ_SECONDS  fuzzing time per target (default 60; 0: regression run only)
#   FUZZ_TARGETS  targets to run (default: all *_fuzz.cpp in fuzz/)
#   BUILD_DIR     build directory (default build-fuzz)
#   FUZZ_CMAKE_ARGS  extra CMake arguments for the configure step
# A crash leaves its input in $FUZZ_WORK/<target>/ (printed) and ends the
# script with status 1.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build_dir="${BUILD_DIR:-$here/build-fuzz}"
seconds="${FUZZ_SECONDS:-60}"
targets="${FUZZ_TARGETS:-$(cd "$here/fuzz" && ls *_fuzz.cpp | sed 's/\.cpp$//' | tr '\n' ' ')}"

cmake -S "$here" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
  -DVESK_FUZZ=ON -DVESK_SANITIZE=ON -DVESK_BUILD_TESTS=OFF -DVESK_BUILD_BENCH=OFF ${FUZZ_CMAKE_ARGS:-} >/dev/null
# shellcheck disable=SC2086
cmake --build "$build_dir" -j "$(nproc)" --target $targets

work="${FUZZ_WORK:-$(mktemp -d /tmp/vesk-fuzz.XXXXXX)}"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:allocator_may_return_null=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
# Oversized allocations (a forged header trusted) are findings.
limits=(-rss_limit_mb=2048 -malloc_limit_mb=1100 -timeout=20)

status=0
for target in $targets; do
  binary="$build_dir/fuzz/$target"
  seeds="$here/fuzz/corpus/$target"
  mkdir -p "$work/$target/corpus" "$work/$target/artifacts"
  echo "fuzz: $target: regression run over $(ls "$seeds" | wc -l) seed inputs"
  if ! "$binary" "${limits[@]}" -artifact_prefix="$work/$target/artifacts/" "$seeds"/* \
      >"$work/$target/regression.log" 2>&1; then
    tail -n 40 "$work/$target/regression.log"
    echo "fuzz: $target: a seed input fails (log: $work/$target/regression.log)" >&2
    status=1
    continue
  fi
  if [ "$seconds" -gt 0 ]; then
    echo "fuzz: $target: fuzzing for ${seconds} s"
    # The outer timeout is a backstop should the fuzzer itself hang.
    if ! timeout --signal=KILL $((seconds + 120)) "$binary" "${limits[@]}" -max_total_time="$seconds" \
        -print_final_stats=1 -artifact_prefix="$work/$target/artifacts/" \
        "$work/$target/corpus" "$seeds" >"$work/$target/fuzz.log" 2>&1; then
      tail -n 60 "$work/$target/fuzz.log"
      echo "fuzz: $target: crash, input in $work/$target/artifacts/:" >&2
      ls -l "$work/$target/artifacts/" >&2
      status=1
      continue
    fi
    grep -E "stat::number_of_executed_units|stat::peak_rss_mb" "$work/$target/fuzz.log" | tr '\n' ' '
    echo
  fi
done
if [ "$status" -eq 0 ]; then
  echo "fuzz: all targets passed"
  [ -n "${FUZZ_WORK:-}" ] || rm -rf "$work"
fi
exit "$status"
