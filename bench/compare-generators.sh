#!/usr/bin/env bash
# Times whole runs of murel_gen against the straightforward single-threaded baseline, each in a
# fresh empty directory, and checks that both write the same bytes.
# Usage: bench/compare-generators.sh [runs]   (default 5; prints medians, the ratio, peak memory)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
runs=${1:-5}
"$root/scripts/install-deps.sh" time
cd "$root"
cmake --preset release >/dev/null
cmake --build --preset release --target murel_gen murel_gen_baseline >/dev/null
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# Prints "<wall seconds> <peak resident KiB>" of one run of $1 in a fresh directory $2.
time_run() {
  rm -rf "$2" && mkdir -p "$2" && cd "$2"
  local start end
  start=$(date +%s.%N)
  /usr/bin/time -f '%M' -o "$scratch/rss" "$1" >/dev/null
  end=$(date +%s.%N)
  cd "$root"
  echo "$(awk -v a="$start" -v b="$end" 'BEGIN { print b - a }') $(cat "$scratch/rss")"
}

median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

declare -A wall rss
for program in murel_gen murel_gen_baseline; do
  binary=$(find "$root/build/release" -name "$program" -type f -perm -u+x | head -n 1)
  results=$(for _ in $(seq "$runs"); do time_run "$binary" "$scratch/$program"; done)
  wall[$program]=$(echo "$results" | cut -d' ' -f1 | median)
  rss[$program]=$(echo "$results" | cut -d' ' -f2 | sort -n | tail -n 1)
  printf '%-20s median %.3f s over %d runs, peak resident %d KiB\n' "$program" "${wall[$program]}" "$runs" "${rss[$program]}"
done
for name in murel_gen_test.txt murel_gen_example.txt synth-1.cdb synth-1.sgl; do
  cmp -s "$scratch/murel_gen/$name" "$scratch/murel_gen_baseline/$name" || { echo "outputs differ: $name"; exit 1; }
done
awk -v base="${wall[murel_gen_baseline]}" -v fast="${wall[murel_gen]}" -v cores="$(nproc)" \
  'BEGIN { printf "outputs identical; speed-up %.2fx on %d cores\n", base / fast, cores }'
