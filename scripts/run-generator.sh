#!/usr/bin/env bash
# Builds murel_gen and murel (release), runs murel_gen in the directory given, by default out/
# in the repository (its four files land there), analyses synth-1.cdb into DIR/analysis and
# draws every picture into DIR/plots.  A failing build shows its output.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=$(mkdir -p "${1:-$root/out}" && cd "${1:-$root/out}" && pwd)
"$root/scripts/install-deps.sh"
cd "$root"
log=$(mktemp)
trap 'rm -f "$log"' EXIT
if ! { cmake --preset release && cmake --build --preset release --target murel_gen murel; } >"$log" 2>&1; then
  cat "$log" >&2
  echo "run-generator.sh: the build failed" >&2
  exit 1
fi
murel="$root/build/release/murel/murel"
cd "$out"
"$root/build/release/generator/murel_gen"
echo "Files written to $out"
"$murel" analyse synth-1.cdb -o analysis
echo "Analysis written to $out/analysis"
"$murel" plot . analysis synth-1.cdb --records 0,1,2,5,17 -o plots
echo "Pictures drawn in $out/plots"
