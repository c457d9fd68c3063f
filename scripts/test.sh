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
# names and strings that murel plot writes into its gnuplot scripts, and the format readers.
# libFuzzer reads a time of 0 as no limit, so each gets a second at least.
fuzz_seconds=${FUZZ_SECONDS:-60}
share=$((fuzz_seconds / 4 > 0 ? fuzz_seconds / 4 : 1))
reader_share=$(((fuzz_seconds - 3 * share) / 5 > 0 ? (fuzz_seconds - 3 * share) / 5 : 1))
fuzz/run.sh build/fuzz/fuzz/histogram_fuzz "$share"
fuzz/run.sh build/fuzz/fuzz/analysis_fuzz "$share" fuzz/analysis_corpus
fuzz/run.sh build/fuzz/fuzz/plot_fuzz "$share" fuzz/plot_corpus
for reader in cdb wavedump wavedump_ascii compass; do
  fuzz/run.sh "build/fuzz/fuzz/${reader}_fuzz" "$reader_share" fuzz/formats_corpus
done
fuzz/run.sh build/fuzz/fuzz/lh5_fuzz "$reader_share" fuzz/lh5_corpus

cmake --preset asan-ubsan
cmake --build --preset asan-ubsan -j "$jobs"
ctest --preset asan-ubsan -j "$jobs"
