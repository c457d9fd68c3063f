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

# Prints "<wall seconds> <peak resident KiB> <processor seconds>" of one run of the command in a
# fresh directory.  Processor time per event is the steadier figure on a machine that others share.
time_run() {
  rm -rf "$scratch/run" && mkdir "$scratch/run" && cd "$scratch/run"
  /usr/bin/time -f '%e %M %U %S' -o "$scratch/time" "$@" >/dev/null
  cd "$root"
  awk '{ print $1, $2, $3 + $4 }' "$scratch/time"
}

median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

time_runs() {
  local results
  results=$(for _ in $(seq "$runs"); do time_run "$@"; done)
  echo "$(echo "$results" | cut -d' ' -f1 | median) $(echo "$results" | cut -d' ' -f2 | sort -n | tail -n 1)" \
    "$(echo "$results" | cut -d' ' -f3 | median)"
}

mkdir "$scratch/check" && (cd "$scratch/check" && "$murel_gen" >/dev/null && "$murel" generate out.cdb)
cmp -s "$scratch/check/synth-1.cdb" "$scratch/check/out.cdb" || { echo "murel generate differs from murel_gen"; exit 1; }
rm -rf "$scratch/check"
echo "murel generate's default file equals murel_gen's synth-1.cdb"

# murel_gen's processor time includes its self-test: 2000000 deviates, under a tenth of its events' work.
read -r gen_wall gen_rss gen_cpu < <(time_runs "$murel_gen")
read -r small_wall small_rss small_cpu < <(time_runs "$murel" generate out.cdb)
read -r big_wall big_rss big_cpu < <(runs=1 time_runs "$murel" generate out.cdb --events "$events")
awk -v gw="$gen_wall" -v gr="$gen_rss" -v gc="$gen_cpu" -v sw="$small_wall" -v sr="$small_rss" -v sc="$small_cpu" \
  -v bw="$big_wall" -v br="$big_rss" -v bc="$big_cpu" -v n="$events" -v runs="$runs" -v cores="$(nproc)" 'BEGIN {
  f = "%-44s %8.3f s wall %6.1f us/event, %6.1f us/event of processor time, peak %5.1f MiB\n"
  printf f, "murel_gen (three phases, 10000 events)", gw, gw / 1e4 * 1e6, gc / 1e4 * 1e6, gr / 1024
  printf f, "murel generate, 10000 events", sw, sw / 1e4 * 1e6, sc / 1e4 * 1e6, sr / 1024
  printf f, sprintf("murel generate, %d events (%.0f MB)", n, (12 + n * 4000) / 1e6), bw, bw / n * 1e6, bc / n * 1e6, br / 1024
  printf "per event, %d events against murel_gen: %.2fx wall, %.2fx processor time, on %d cores (medians of %d)\n",
    n, (bw / n) / (gw / 1e4), (bc / n) / (gc / 1e4), cores, runs
  if (br > 32 * 1024) { print "peak memory above 32 MiB"; exit 1 }
}'
