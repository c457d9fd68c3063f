#!/bin/sh
# pip install of the source tree into a scratch target, with no package index and no build
# isolation (Debian's setuptools builds it), then an import from there.
set -eu
python=$1 source=$2 work=$3
rm -rf "$work"
mkdir -p "$work"
# A copy, so that the build leaves nothing in the source tree.
tar -C "$source" --exclude=./build --exclude=./out --exclude=./.git -cf - . | tar -C "$work" -xf - --one-top-level=src
"$python" -m pip install --no-build-isolation --no-deps --no-index --target "$work/site" "$work/src" >"$work/pip.log" 2>&1 ||
  { tail -40 "$work/pip.log"; exit 1; }
cd "$work"
PYTHONPATH="$work/site" "$python" -c "
import murel
assert murel.__file__.startswith('$work/site'), murel.__file__
g = murel.generate(events=3, samples=50)
assert g.samples.shape == (3, 2, 50)
print('pip-installed murel imports from', murel.__file__)
"
rm -rf "$work"
