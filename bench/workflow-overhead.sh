#!/usr/bin/env bash
# The workflow's overhead: workflow/Snakefile on 2 cores against the same commands run by hand
# (GNU parallel, 2 jobs at a time), for 8 pieces merged with a fan-in of 2, then drawn.  The
# overhead is meant to stay at or below 30 %.
# Usage: bench/workflow-overhead.sh [events-per-piece]   (default 50000, 200 MB a piece)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
per_piece=${1:-50000}
pieces=8
cd "$root"
cmake --preset release >/dev/null
cmake --build --preset release --target murel >/dev/null
export PATH="$root/build/release/murel:$PATH"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cd "$scratch"

by_hand() {
  rm -rf hand && mkdir -p hand/data hand/analyses hand/merged
  seq 0 $((pieces - 1)) | parallel -j 2 \
    "murel generate hand/data/piece-{}.cdb --seed 1 --first-event \$(({} * $per_piece)) --events $per_piece --threads 1 > /dev/null"
  seq 0 $((pieces - 1)) | parallel -j 2 "murel analyse hand/data/piece-{}.cdb -o hand/analyses/piece-{} --threads 1 > /dev/null"
  seq 0 3 | parallel -j 2 "murel merge hand/analyses/piece-\$((2 * {})) hand/analyses/piece-\$((2 * {} + 1)) -o hand/merged/1-{} > /dev/null"
  seq 0 1 | parallel -j 2 "murel merge hand/merged/1-\$((2 * {})) hand/merged/1-\$((2 * {} + 1)) -o hand/merged/2-{} > /dev/null"
  murel merge hand/merged/2-0 hand/merged/2-1 -o hand/results > /dev/null
  murel plot hand/results -o hand/results/pictures > /dev/null
}

with_snakemake() {
  rm -rf results .snakemake
  snakemake -s "$root/workflow/Snakefile" --cores 2 --quiet \
    --config events=$((pieces * per_piece)) pieces=$pieces fanin=2 seed=1 output=results > /dev/null 2>&1
}

seconds() {
  local start end
  start=$(date +%s.%N)
  "$@"
  end=$(date +%s.%N)
  echo "$end - $start" | bc -l
}

hand=() sm=()
for _ in 1 2 3; do
  hand+=("$(seconds by_hand)")
  sm+=("$(seconds with_snakemake)")
done
best() { printf '%s\n' "$@" | sort -n | head -1; }
h=$(best "${hand[@]}") s=$(best "${sm[@]}")
cmp hand/results/spectrum.txt results/spectrum.txt
printf '%d pieces of %d events on 2 cores: by hand %.2f s, Snakemake %.2f s, overhead %.1f %%\n' \
  $pieces "$per_piece" "$h" "$s" "$(echo "($s - $h) * 100 / $h" | bc -l)"
