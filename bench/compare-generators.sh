#!/usr/bin/env bash
# Times whole runs of murel_gen against the straightforward single-threaded baseline, each in a
# fresh empty directory, and checks that both write the same bytes.  The runs are paired: each
# round runs both programs back to back, alternating which goes first, so that other load on
# the machine weighs on both sides alike.
# Usage: bench/compare-generators.sh [rounds]   (default 5; prints medians, the ratio, peak memory)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
rounds=${1:-5}
"$root/scripts/install-deps.sh" time
cd "$root"
cmake --preset release >/dev/null
cmake --build --preset release --target murel_gen murel_gen_baseline >/dev/null
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# Prints "<wall seconds> <CPU seconds> <peak resident KiB>" of one run of $1 in a fresh directory $2.
time_run() {
  rm -rf "$2" && mkdir -p "$2" && cd "$2"
  local start end
  start=$(date +%s.%N)
  /usr/bin/time -f '%U %S %M' -o "$scratch/usage" "$1" >/dev/null
  end=$(date +%s.%N)
  cd "$root"
  read -r user system rss <"$scratch/usage"
  awk -v a="$start" -v b="$end" -v u="$user" -v s="$system" -v m="$rss" 'BEGIN { print b - a, u + s, m }'
}

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

fast=$(find "$root/build/release" -name murel_gen -type f -perm -u+x | head -n 1)
plain=$(find "$root/build/release" -name murel_gen_baseline -type f -perm -u+x | head -n 1)
: >"$scratch/murel_gen.runs"
: >"$scratch/murel_gen_baseline.runs"
: >"$scratch/ratios"
for round in $(seq "$rounds"); do
  if ((round % 2)); then
    plain_run=$(time_run "$plain" "$scratch/murel_gen_baseline")
    fast_run=$(time_run "$fast" "$scratch/murel_gen")
  else
    fast_run=$(time_run "$fast" "$scratch/murel_gen")
    plain_run=$(time_run "$plain" "$scratch/murel_gen_baseline")
  fi
  echo "$fast_run" >>"$scratch/murel_gen.runs"
  echo "$plain_run" >>"$scratch/murel_gen_baseline.runs"
  awk -v p="${plain_run%% *}" -v f="${fast_run%% *}" 'BEGIN { print p / f }' >>"$scratch/ratios"
done

for program in murel_gen murel_gen_baseline; do
  runs="$scratch/$program.runs"
  printf '%-20s median %.3f s wall, %.3f s CPU over %d runs, peak resident %d KiB\n' "$program" \
    "$(cut -d' ' -f1 "$runs" | median)" "$(cut -d' ' -f2 "$runs" | median)" "$rounds" \
    "$(cut -d' ' -f3 "$runs" | sort -n | tail -n 1)"
done
for name in murel_gen_test.txt murel_gen_example.txt synth-1.cdb synth-1.sgl; do
  cmp -s "$scratch/murel_gen/$name" "$scratch/murel_gen_baseline/$name" || { echo "outputs differ: $name"; exit 1; }
done
printf 'outputs identical; speed-up %.2fx (median of %d paired runs, from %.2fx to %.2fx) on %d cores, maths %s\n' \
  "$(median <"$scratch/ratios")" "$rounds" "$(sort -g "$scratch/ratios" | head -n 1)" "$(sort -g "$scratch/ratios" | tail -n 1)" \
  "$(nproc)" "${MUREL_MATH:-widest available}"
