#!/usr/bin/env bash
# Builds murel_gen and murel (release), runs murel_gen in the directory given, by default out/
# in the repository (its four files land there), analyses synth-1.cdb into DIR/analysis and
# draws every picture into DIR/plots.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=$(mkdir -p "${1:-$root/out}" && cd "${1:-$root/out}" && pwd)
"$root/scripts/install-deps.sh"
cd "$root"
cmake --preset release >/dev/null
cmake --build --preset release --target murel_gen murel >/dev/null
murel="$root/build/release/murel/murel"
cd "$out"
"$root/build/release/generator/murel_gen"
echo "Files written to $out"
"$murel" analyse synth-1.cdb -o analysis
echo "Analysis written to $out/analysis"
"$murel" plot . analysis synth-1.cdb --records 0,1,2,5,17 -o plots
echo "Pictures drawn in $out/plots"
