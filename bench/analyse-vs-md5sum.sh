#!/usr/bin/env bash
# Times `murel analyse` on murel_gen's synth-1.cdb against md5sum of the same file, side by side
# in one run (warm page cache, alternating, best of N), prints the ratio, and checks that the
# analysis read every event and that its peak memory stays at most 64 MiB, also on an input
# four times as large.  Then the same for each method on a 400 MB file of preamp pulses.
# Usage: bench/analyse-vs-md5sum.sh [BUILD_DIR [REPEATS]]
set -euo pipefail
build=$(cd "${1:-build/release}" && pwd)
repeats=${2:-7}
murel=$build/murel/murel
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

(cd "$work" && "$build/generator/murel_gen" >/dev/null)
data=$work/synth-1.cdb
rm -f "$work/synth-1.sgl"
cat "$data" >/dev/null

now() { date +%s%N; }
best_md5=0 best_analyse=0
for ((i = 0; i < repeats; i++)); do
  start=$(now); md5sum "$data" >/dev/null; took=$(($(now) - start))
  ((best_md5 == 0 || took < best_md5)) && best_md5=$took
  start=$(now); "$murel" analyse "$data" -o "$work/out" >/dev/null; took=$(($(now) - start))
  ((best_analyse == 0 || took < best_analyse)) && best_analyse=$took
done

events=$(( ($(stat -c %s "$data") - 12) / 4000 ))
records=$(python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["channels"]["A"]["records"])' "$work/out/summary.json")
if [ "$records" != "$events" ]; then
  echo "murel analyse counted $records events of $events" >&2
  exit 1
fi

printf 'md5sum         %8.1f ms\n' "$(echo "$best_md5 / 1000000" | bc -l)"
printf 'murel analyse  %8.1f ms  (%d events, %d threads)\n' "$(echo "$best_analyse / 1000000" | bc -l)" "$events" "$(nproc)"
printf 'ratio analyse / md5sum: %.2f\n' "$(echo "$best_analyse / $best_md5" | bc -l)"

if [ -x /usr/bin/time ]; then
  # The same data four times over: memory must not grow with the input.
  big=$work/big.cdb
  head -c 12 "$data" >"$big"
  for _ in 1 2 3 4; do tail -c +13 "$data" >>"$big"; done
  rm -f "$data"
  for input in "$big"; do
    kib=$(/usr/bin/time -f %M "$murel" analyse "$input" -o "$work/big" 2>&1 >/dev/null | tail -1)
    printf 'peak resident memory on %d events: %d KiB\n' $((events * 4)) "$kib"
    if ((kib > 65536)); then
      echo "peak resident memory above 64 MiB" >&2
      exit 1
    fi
  done
fi

# The methods on 400 MB files: trapezoid and charge on preamp pulses with pile-up must run at least
# 1.5 times as fast as md5sum reads the same file, and the fit on Gaussian pulses, the shape it
# measures, no slower; each in at most 64 MiB.  The fit of Gaussians to the preamp steps is
# printed too: it measures nothing there and is not held to a goal.
pre=$work/preamp.cdb gauss=$work/gauss.cdb
"$murel" generate "$pre" --events 100000 --shape preamp --rise 10 --decay 2000 --offset -20000,0.01 --pileup 0.05,20,300 >/dev/null
"$murel" generate "$gauss" --events 100000 >/dev/null
status=0
for input in "$pre" "$gauss"; do
  cat "$input" >/dev/null
  best_md5=0
  for ((i = 0; i < repeats; i++)); do
    start=$(now); md5sum "$input" >/dev/null; took=$(($(now) - start))
    ((best_md5 == 0 || took < best_md5)) && best_md5=$took
  done
  printf 'md5sum on %s, %d MB  %8.1f ms\n' "$(basename "$input")" $(($(stat -c %s "$input") / 1000000)) "$(echo "$best_md5 / 1000000" | bc -l)"
  methods="trapezoid charge fit"; [ "$input" = "$gauss" ] && methods=fit
  for method in $methods; do
    best=0
    for ((i = 0; i < repeats; i++)); do
      start=$(now); "$murel" analyse "$input" --method "$method" -o "$work/$method" >/dev/null 2>&1; took=$(($(now) - start))
      ((best == 0 || took < best)) && best=$took
    done
    kib=0
    [ -x /usr/bin/time ] && kib=$(/usr/bin/time -f %M "$murel" analyse "$input" --method "$method" -o "$work/$method" 2>&1 >/dev/null | tail -1)
    speed=$(echo "$best_md5 / $best" | bc -l)
    need=1.5; [ "$method" = fit ] && need=1.0
    [ "$method" = fit ] && [ "$input" = "$pre" ] && need=
    printf '  %-9s %8.1f ms, %.2f x md5sum speed (goal %s), peak %d KiB\n' "$method" "$(echo "$best / 1000000" | bc -l)" "$speed" "${need:-none}" "$kib"
    if [ -n "$need" ] && (($(echo "$speed < $need" | bc -l))); then echo "$method: below $need x md5sum" >&2; status=1; fi
    if ((kib > 65536)); then echo "$method: peak resident memory above 64 MiB" >&2; status=1; fi
  done
done
exit $status
