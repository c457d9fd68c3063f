#!/usr/bin/env bash
# Builds murel_gen (release) and runs it in the directory given, by default out/ in the
# repository; the four files land there.  A failing build shows its output.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=$(mkdir -p "${1:-$root/out}" && cd "${1:-$root/out}" && pwd)
"$root/scripts/install-deps.sh"
cd "$root"
log=$(mktemp)
trap 'rm -f "$log"' EXIT
if ! { cmake --preset release && cmake --build --preset release --target murel_gen; } >"$log" 2>&1; then
  cat "$log" >&2
  echo "run-generator.sh: the build failed" >&2
  exit 1
fi
cd "$out"
"$root/build/release/generator/murel_gen"
echo "Files written to $out"
