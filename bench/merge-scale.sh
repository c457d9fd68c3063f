#!/usr/bin/env bash
# The cost of `murel merge` against the number of pieces, and against reading the pieces' outputs
# once (cat to /dev/null, from the page cache, as merge finds them): the ratio at 64 pieces is
# meant to stay at or below 1.5.  Also prints the per-event costs of generating and analysing on
# one thread and the sizes of the outputs, the figures of docs/scale-plan.md.
# Merge and reading are timed in wall and in processor seconds: on a shared machine the wall
# time rises with the load, printed before and after.
# Usage: bench/merge-scale.sh [events-per-piece]   (default 200)
#        MUREL=path/to/murel bench/merge-scale.sh   times that build instead of building one
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
per_piece=${1:-200}
cd "$root"
if [ -z "${MUREL:-}" ]; then
  cmake --preset release >/dev/null
  cmake --build --preset release --target murel >/dev/null
fi
murel=$(realpath "${MUREL:-$root/build/release/murel/murel}")
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
# Wall and processor seconds (user + system) of a command, each the best of 5, to the
# microsecond: reading the outputs takes a few hundredths of a second.  The directory named
# first (none when empty) is removed before each run, untimed: a merge writes into a new
# directory, and replacing files costs what the file system asks (with discard, milliseconds).
wall_and_cpu() {
  python3 - "$@" <<'EOF'
import resource, shutil, subprocess, sys, time
walls, cpus = [], []
for _ in range(5):
    if sys.argv[1]:
        shutil.rmtree(sys.argv[1], ignore_errors=True)
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    subprocess.run(sys.argv[2:], stdout=subprocess.DEVNULL, check=True)
    walls.append(time.perf_counter() - start)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpus.append(after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime)
print(f"{min(walls):.4f} {min(cpus):.4f}")
EOF
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
echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "pieces   merge s (wall, cpu)   read-once s (wall, cpu)   ratio (wall, cpu)"
for n in 2 8 32 64; do
  dirs=$(seq -f 'a/%g' 0 $((n - 1)))
  # shellcheck disable=SC2086
  read -r merge_wall merge_cpu <<< "$(wall_and_cpu merged "$murel" merge $dirs -o merged)"
  # shellcheck disable=SC2086
  read -r read_wall read_cpu <<< "$(wall_and_cpu '' sh -c "cat $(echo $dirs | sed 's#\([^ ]*\)#\1/*#g') > /dev/null")"
  printf '%6d   %7.4f %7.4f         %7.4f %7.4f             %5.2f %5.2f\n' "$n" "$merge_wall" "$merge_cpu" "$read_wall" "$read_cpu" \
    "$(echo "$merge_wall / $read_wall" | bc -l)" "$(echo "$merge_cpu / $read_cpu" | bc -l)"
done
echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "one piece's outputs: $(du -sb a/0 | cut -f1) bytes; merged: $(du -sb merged | cut -f1) bytes"
