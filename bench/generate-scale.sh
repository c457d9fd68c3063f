#!/usr/bin/env bash
# Times `murel generate` side by side with murel_gen and shows the time and peak memory of a
# 200000-event (800 MB) run.  Checks first that murel generate's default file equals
# murel_gen's synth-1.cdb.  The large files live in a scratch directory that is removed at the end.
# Usage: bench/generate-scale.sh [runs] [events]   (defaults 3 and 200000)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
runs=${1:-3}
events=${2:-200000}
"$root/scripts/install-deps.sh" time
cd "$root"
cmake --preset release >/dev/null
cmake --build --preset release --target murel murel_gen >/dev/null
murel=$root/build/release/murel/murel
murel_gen=$root/build/release/generator/murel_gen
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# Prints "<wall seconds> <peak resident KiB>" of one run of the command in a fresh directory.
time_run() {
  rm -rf "$scratch/run" && mkdir "$scratch/run" && cd "$scratch/run"
  /usr/bin/time -f '%e %M' -o "$scratch/time" "$@" >/dev/null
  cd "$root"
  cat "$scratch/time"
}

median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

time_runs() {
  local results
  results=$(for _ in $(seq "$runs"); do time_run "$@"; done)
  echo "$(echo "$results" | cut -d' ' -f1 | median) $(echo "$results" | cut -d' ' -f2 | sort -n | tail -n 1)"
}

mkdir "$scratch/check" && (cd "$scratch/check" && "$murel_gen" >/dev/null && "$murel" generate out.cdb)
cmp -s "$scratch/check/synth-1.cdb" "$scratch/check/out.cdb" || { echo "murel generate differs from murel_gen"; exit 1; }
rm -rf "$scratch/check"
echo "murel generate's default file equals murel_gen's synth-1.cdb"

read -r gen_wall gen_rss < <(time_runs "$murel_gen")
read -r small_wall small_rss < <(time_runs "$murel" generate out.cdb)
read -r big_wall big_rss < <(runs=1 time_runs "$murel" generate out.cdb --events "$events")
awk -v gw="$gen_wall" -v gr="$gen_rss" -v sw="$small_wall" -v sr="$small_rss" -v bw="$big_wall" -v br="$big_rss" \
  -v n="$events" -v runs="$runs" -v cores="$(nproc)" 'BEGIN {
  printf "murel_gen (all three phases, 10000 events)  %8.3f s  %6.1f us/event  peak %6.1f MiB  (median of %d)\n", gw, gw / 10000 * 1e6, gr / 1024, runs
  printf "murel generate, 10000 events                %8.3f s  %6.1f us/event  peak %6.1f MiB  (median of %d)\n", sw, sw / 10000 * 1e6, sr / 1024, runs
  printf "murel generate, %d events (%.0f MB)     %8.3f s  %6.1f us/event  peak %6.1f MiB\n", n, (12 + n * 4000) / 1e6, bw, bw / n * 1e6, br / 1024
  printf "time per event, %d events against murel_gen: %.2fx, on %d cores\n", n, (bw / n) / (gw / 10000), cores
  if (br > 32 * 1024) { print "peak memory above 32 MiB"; exit 1 }
}'
