#!/usr/bin/env bash
# The cost of `murel merge` against the number of pieces, and against reading the pieces' outputs
# once (cat to /dev/null, from the page cache, as merge finds them): the ratio at 64 pieces is
# meant to stay at or below 1.5.  Also prints the per-event costs of generating and analysing on
# one thread and the sizes of the outputs, the figures of docs/scale-plan.md.
# Usage: bench/merge-scale.sh [events-per-piece]   (default 200)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
per_piece=${1:-200}
cd "$root"
cmake --preset release >/dev/null
cmake --build --preset release --target murel >/dev/null
murel=$root/build/release/murel/murel
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cd "$scratch"

# Processor seconds (user + system) of a command, best of 3.
cpu() {
  for _ in 1 2 3; do
    /usr/bin/time -f '%U %S' -o t "$@" > /dev/null
    awk '{ print $1 + $2 }' t
  done | sort -n | head -1
}
# Wall seconds of a command, best of 5.
wall() {
  for _ in 1 2 3 4 5; do
    /usr/bin/time -f '%e' -o t "$@" > /dev/null
    cat t
  done | sort -n | head -1
}

events=20000
generate=$(cpu "$murel" generate big.cdb --events $events --threads 1)
analyse=$(cpu "$murel" analyse big.cdb -o big --threads 1)
printf 'generate: %.2f us per event (1 thread, %d events)\n' "$(echo "$generate * 1000000 / $events" | bc -l)" $events
printf 'analyse:  %.2f us per event (1 thread)\n' "$(echo "$analyse * 1000000 / $events" | bc -l)"
echo "data: $(stat -c %s big.cdb) bytes for $events events; analysis outputs: $(du -sb big | cut -f1) bytes"

for k in $(seq 0 63); do
  "$murel" generate "p$k.cdb" --seed 3 --first-event $((k * per_piece)) --events "$per_piece" --threads 1 > /dev/null
  "$murel" analyse "p$k.cdb" -o "a/$k" --threads 1 > /dev/null
  rm "p$k.cdb"
done
echo "pieces   merge s   read-once s   ratio"
for n in 2 8 32 64; do
  dirs=$(seq -f 'a/%g' 0 $((n - 1)))
  # shellcheck disable=SC2086
  merge=$(wall "$murel" merge $dirs -o merged)
  # shellcheck disable=SC2086
  read_once=$(wall sh -c "cat $(echo $dirs | sed 's#\([^ ]*\)#\1/*#g') > /dev/null")
  printf '%6d   %7.3f   %11.3f   %5.2f\n' "$n" "$merge" "$read_once" "$(echo "$merge / $read_once" | bc -l)"
done
echo "one piece's outputs: $(du -sb a/0 | cut -f1) bytes; merged: $(du -sb merged | cut -f1) bytes"
