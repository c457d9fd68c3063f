#!/usr/bin/env bash
# Builds murel_gen and murel (release) and installs them, with the histogram library, into
# MUREL_PREFIX (default ~/.local); runs murel_gen in the directory given, by default out/ in the
# repository (its four files land there), analyses synth-1.cdb into DIR/analysis and draws every
# picture into DIR/plots.  A failing build shows its output.  Ends with the line that puts the
# installed programs on PATH when they are not there yet.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=$(mkdir -p "${1:-$root/out}" && cd "${1:-$root/out}" && pwd)
prefix=$(mkdir -p "${MUREL_PREFIX:-$HOME/.local}" && cd "${MUREL_PREFIX:-$HOME/.local}" && pwd)
"$root/scripts/install-deps.sh"
cd "$root"
log=$(mktemp)
trap 'rm -f "$log"' EXIT
# The Python module too, where pybind11 and Python's headers were found (MUREL_PYTHON).
python_module() { grep -q '^MUREL_PYTHON:BOOL=ON' build/release/CMakeCache.txt && echo murel_python || true; }
if ! { cmake --preset release && cmake --build --preset release --target murel_gen murel $(python_module); } >"$log" 2>&1; then
  cat "$log" >&2
  echo "run-generator.sh: the build failed" >&2
  exit 1
fi
if ! cmake --install build/release --prefix "$prefix" >"$log" 2>&1; then
  cat "$log" >&2
  echo "run-generator.sh: cannot install into $prefix (choose another prefix with MUREL_PREFIX=DIR)" >&2
  exit 1
fi
bin=$prefix/bin
echo "murel and murel_gen installed in $bin"
cd "$out"
"$bin/murel_gen"
echo "Files written to $out"
"$bin/murel" analyse synth-1.cdb -o analysis
echo "Analysis written to $out/analysis"
"$bin/murel" plot . analysis synth-1.cdb --records 0,1,2,5,17 -o plots
echo "Pictures drawn in $out/plots"
if [ "$(command -v murel || true)" != "$bin/murel" ]; then
  echo "To run murel as \`murel\`, put $bin first on your PATH (add the line to ~/.bashrc to keep it):"
  printf 'export PATH="%s:$PATH"\n' "$(printf '%s' "$bin" | sed 's/[\\"$`]/\\&/g')"
fi
