#!/usr/bin/env bash
# workflow/Snakefile on a small data set: 4 pieces merged with a fan-in of 2 must give the analysis
# of the whole data set made in one piece; a piece whose job failed, or whose outputs went
# missing, is made again alone.
# Usage: tests/workflow_test.sh PATH-TO-MUREL PATH-TO-SNAKEFILE
set -euo pipefail
murel=$(realpath "$1")
snakefile=$(realpath "$2")
work=$(mktemp -d)
trap "rm -rf \"$work\"" EXIT
[ -n "${KEEP_WORK:-}" ] && trap - EXIT
cd "$work"

fail() { echo "FAIL: $*" >&2; exit 1; }
# Usage: run_workflow MUREL [SNAKEMAKE-OPTION...]; the configuration is one --config, or the last would win.
run_workflow() {
  local program=$1
  shift
  snakemake -s "$snakefile" -d "$work" --cores 2 --quiet "$@" --config events=400 pieces=4 fanin=2 seed="${SEED:-7}" \
    output=results murel="$program" > snakemake.log 2>&1 || { cat snakemake.log >&2; return 1; }
}
# The text of a summary without what names the files analysed (the pieces or the whole).
comparable() {
  python3 -c '
import json, sys
s = json.load(open(sys.argv[1]))
for key in ("files", "inputs"):
    s.pop(key, None)
for r in s.get("flagged", []):
    r.pop("file", None); r.pop("event", None)
s.get("outputs", {}).pop("analysis.h5", None)  # holds the summary: compared on its own
print(json.dumps(s, indent=1, sort_keys=True))' "$1"
}
# Whether two analysis.h5 files hold the same tables and histograms, their summaries compared
# as above; needs h5py, Debian's python3-h5py.
same_hdf5() {
  "${PYTHON3:-/usr/bin/python3}" -c '
import h5py, json, sys
import numpy as np
def comparable(text):
    s = json.loads(text)
    for key in ("files", "inputs"):
        s.pop(key, None)
    for r in s.get("flagged", []):
        r.pop("file", None); r.pop("event", None)
    return s
def same(a, b):
    if a.name == "/flagged/event":  # counted within each file, as in summary.json
        return len(a) == len(b)
    if set(a.attrs) != set(b.attrs) or (isinstance(a, h5py.Group) and set(a) != set(b)):
        return False
    for key in a.attrs:
        if key == "summary":
            if comparable(a.attrs[key]) != comparable(b.attrs[key]): return False
        elif not np.array_equal(np.asarray(a.attrs[key]), np.asarray(b.attrs[key])): return False
    if isinstance(a, h5py.Dataset):
        x, y = a[()], b[()]
        if a.dtype.kind == "f": return np.array_equal(x, y, equal_nan=True)
        if a.dtype.kind == "O" or a.dtype == h5py.ref_dtype: return len(x) == len(y)
        return np.array_equal(x, y)
    return all(same(a[k], b[k]) for k in a)
with h5py.File(sys.argv[1]) as a, h5py.File(sys.argv[2]) as b:
    sys.exit(0 if same(a, b) else 1)' "$1" "$2"
}
stamps() { stat -c '%n %Y.%y' results/work/analyses/piece-*/summary.json; }

"$murel" generate whole.cdb --seed 7 --events 400 > /dev/null
"$murel" analyse whole.cdb -o whole > /dev/null

run_workflow "$murel"
[ -f results/pictures/pictures.txt ] || fail "no pictures"
for file in whole/*; do
  name=$(basename "$file")
  case $name in
    summary.json) [ "$(comparable whole/summary.json)" = "$(comparable results/summary.json)" ] ||
                    fail "summary.json differs from the whole data set's" ;;
    analysis.h5) same_hdf5 "$file" "results/$name" || fail "analysis.h5 differs from the whole data set's" ;;
    *) cmp "$file" "results/$name" || fail "$name differs from the whole data set's" ;;
  esac
done
python3 -c '
import json, sys
inputs = json.load(open("results/summary.json"))["inputs"]
ranges = [(i["first_event"], i["events"]) for i in inputs]
assert ranges == [(0, 100), (100, 100), (200, 100), (300, 100)], ranges
assert len({i["data_set"] for i in inputs}) == 1, inputs' || fail "the merged summary does not list the 4 ranges of one data set"

# A piece that lacks an output: murel merge names the file, the workflow makes that piece again.
sleep 1
before=$(stamps)
rm results/work/analyses/piece-2/spectrum.txt
if "$murel" merge results/work/analyses/piece-* -o refused > merge.out 2> merge.err; then fail "merge took a piece without its spectrum"; fi
grep -q "results/work/analyses/piece-2/spectrum.txt" merge.err || fail "merge did not name the missing file: $(cat merge.err)"
run_workflow "$murel"
after=$(stamps)
changed=$(diff <(echo "$before") <(echo "$after") | grep '^>' || true)
[ "$(echo "$changed" | wc -l)" = 1 ] && [[ $changed == "> results/work/analyses/piece-2/"* ]] ||
  fail "not piece 2 alone was made again: $changed"
cmp whole/spectrum.txt results/spectrum.txt || fail "the spectrum differs after piece 2 was made again"

# A failed job: piece 1's analysis fails once; with --keep-going the others finish, and the next
# run makes piece 1 alone.
cat > failing-murel <<EOF
#!/bin/sh
case "\$*" in *"analyse results/work/data/piece-1.cdb"*) [ -e fail-once ] && { rm fail-once; exit 1; } ;; esac
exec "$murel" "\$@"
EOF
chmod +x failing-murel
rm -rf results
touch fail-once
if run_workflow "$work/failing-murel" --keep-going 2> /dev/null; then fail "the failed piece went unnoticed"; fi
[ ! -e results/work/analyses/piece-1/summary.json ] || fail "the failed piece left a summary"
sleep 1
before=$(stamps)
run_workflow "$work/failing-murel"
after=$(stamps)
remade=$(diff <(echo "$before") <(echo "$after") | grep '^<' || true)
[ -z "$remade" ] || fail "pieces that had not failed were made again: $remade"
cmp whole/spectrum.txt results/spectrum.txt || fail "the spectrum differs after the failed piece was made again"

# Another seed is another data set: every piece is made again.
data_set() { python3 -c 'import json, sys; print(json.load(open(sys.argv[1]))["inputs"][0]["data_set"])' results/summary.json; }
seven=$(data_set)
SEED=8 run_workflow "$murel"
[ "$(data_set)" != "$seven" ] || fail "seed=8 left the results of seed 7"
echo "the workflow's 4 pieces merged in a tree equal the whole data set; failed and incomplete pieces are made again alone"
