#!/usr/bin/env bash
# Runs a libFuzzer target for the given number of seconds (default 60), starting from a seed
# corpus (default fuzz/corpus); new inputs go to a scratch copy, so the repository stays as it is.
# Usage: fuzz/run.sh FUZZER [SECONDS [CORPUS]]
set -uo pipefail
fuzzer=$1
seconds=${2:-60}
corpus=${3:-$(cd "$(dirname "$0")" && pwd)/corpus}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$corpus"/* "$work"/
"$fuzzer" -max_total_time="$seconds" -max_len=1024 -timeout=20 -rss_limit_mb=4096 -print_final_stats=1 "$work" 2>&1 |
  grep -v -E '^#[0-9]+[[:space:]]+(NEW|REDUCE|pulse)'
exit "${PIPESTATUS[0]}"
