#!/usr/bin/env bash
# Builds murel_gen (release) and runs it in the directory given, by default out/ in the
# repository; the four files land there.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=$(mkdir -p "${1:-$root/out}" && cd "${1:-$root/out}" && pwd)
"$root/scripts/install-deps.sh"
cd "$root"
cmake --preset release >/dev/null
cmake --build --preset release --target murel_gen >/dev/null
cd "$out"
"$root/build/release/generator/murel_gen"
echo "Files written to $out"
