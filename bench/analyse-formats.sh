#!/usr/bin/env bash
# Times `murel analyse` on a data set of murel generate (100000 events, 400 MB as cdb) and on the
# same records written as WaveDump, CoMPASS and LH5 (warm page cache, alternating, best of N), prints each format's time as a
# ratio to the cdb file's, and checks that every format gives the same record counts and that
# peak memory stays at most 64 MiB.  Fails when a format takes more than 1.15 times as long.
# Usage: bench/analyse-formats.sh [BUILD_DIR [REPEATS [EVENTS]]]
set -euo pipefail
build=$(cd "${1:-build/release}" && pwd)
repeats=${2:-5}
events=${3:-100000}
murel=$build/murel/murel
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$murel" generate "$work/synth-1.cdb" --events "$events" >/dev/null
"$murel" convert "$work/synth-1.cdb" --to wavedump -o "$work/wavedump" >/dev/null
"$murel" convert "$work/synth-1.cdb" --to compass -o "$work/list.BIN" >/dev/null
"$murel" convert "$work/synth-1.cdb" --to lh5 -o "$work/raw.lh5" >/dev/null
declare -A inputs=(
  [cdb]="$work/synth-1.cdb"
  [wavedump]="$work/wavedump/wave0.dat $work/wavedump/wave1.dat"
  [compass]="$work/list.BIN"
  [lh5]="$work/raw.lh5"
)
formats=(cdb wavedump compass lh5)
# shellcheck disable=SC2086
for f in "${formats[@]}"; do cat ${inputs[$f]} >/dev/null; done

now() { date +%s%N; }
declare -A best
for ((i = 0; i < repeats; i++)); do
  for f in "${formats[@]}"; do
    start=$(now)
    # shellcheck disable=SC2086
    "$murel" analyse ${inputs[$f]} -o "$work/out-$f" >/dev/null
    took=$(($(now) - start))
    if [ -z "${best[$f]:-}" ] || ((took < best[$f])); then best[$f]=$took; fi
  done
done

records() { python3 -c 'import json,sys; s=json.load(open(sys.argv[1])); print(sorted(c["records"] for c in s["channels"].values()))' "$1/summary.json"; }
reference=$(records "$work/out-cdb")
status=0
printf '%-9s %9s %7s %11s\n' format ms ratio 'peak KiB'
for f in "${formats[@]}"; do
  if [ "$(records "$work/out-$f")" != "$reference" ]; then
    echo "$f: records $(records "$work/out-$f"), cdb $reference" >&2
    status=1
  fi
  kib=0
  if [ -x /usr/bin/time ]; then
    # shellcheck disable=SC2086
    kib=$(/usr/bin/time -f %M "$murel" analyse ${inputs[$f]} -o "$work/mem-$f" 2>&1 >/dev/null | tail -1)
  fi
  ratio=$(echo "${best[$f]} / ${best[cdb]}" | bc -l)
  printf '%-9s %9.1f %7.2f %11d\n' "$f" "$(echo "${best[$f]} / 1000000" | bc -l)" "$ratio" "$kib"
  if ((kib > 65536)); then
    echo "$f: peak resident memory above 64 MiB" >&2
    status=1
  fi
  if (($(echo "$ratio > 1.15" | bc -l))); then
    echo "$f: more than 1.15 times the time of the cdb file" >&2
    status=1
  fi
done
exit $status
