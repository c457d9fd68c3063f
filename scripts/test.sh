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
# format readers.
fuzz_seconds=${FUZZ_SECONDS:-60}
fuzz/run.sh build/fuzz/fuzz/histogram_fuzz $((fuzz_seconds / 4))
fuzz/run.sh build/fuzz/fuzz/analysis_fuzz $((fuzz_seconds / 4)) fuzz/analysis_corpus
# The rest goes to the five format readers in equal shares.
reader_seconds=$(((fuzz_seconds - 2 * (fuzz_seconds / 4)) / 5))
for reader in cdb wavedump wavedump_ascii compass; do
  fuzz/run.sh "build/fuzz/fuzz/${reader}_fuzz" "$reader_seconds" fuzz/formats_corpus
done
fuzz/run.sh build/fuzz/fuzz/lh5_fuzz "$reader_seconds" fuzz/lh5_corpus

cmake --preset asan-ubsan
cmake --build --preset asan-ubsan -j "$jobs"
ctest --preset asan-ubsan -j "$jobs"
