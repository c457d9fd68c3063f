#!/usr/bin/env bash
# Builds and runs every test: the suite in a release build, a short fuzzing run, then the
# suite again under AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh clang libclang-rt-14-dev
jobs=$(nproc)

cmake --preset release
cmake --build --preset release -j "$jobs"
ctest --preset release -j "$jobs"

cmake --preset fuzz
cmake --build --preset fuzz -j "$jobs"
# The short fuzzing run is shared between the histogram library, the analysis core and the
# names and strings that murel plot writes into its gnuplot scripts.
# libFuzzer reads a time of 0 as no limit, so each gets a second at least.
fuzz_seconds=${FUZZ_SECONDS:-60}
share=$((fuzz_seconds / 3 > 0 ? fuzz_seconds / 3 : 1))
rest=$((fuzz_seconds - 2 * share > 0 ? fuzz_seconds - 2 * share : 1))
fuzz/run.sh build/fuzz/fuzz/histogram_fuzz "$share"
fuzz/run.sh build/fuzz/fuzz/analysis_fuzz "$share" fuzz/analysis_corpus
fuzz/run.sh build/fuzz/fuzz/plot_fuzz "$rest" fuzz/plot_corpus

cmake --preset asan-ubsan
cmake --build --preset asan-ubsan -j "$jobs"
ctest --preset asan-ubsan -j "$jobs"
