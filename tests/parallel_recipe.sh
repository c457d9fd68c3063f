#!/usr/bin/env bash
# The GNU parallel recipe of docs/scaling.md, run on this host: a data set made as 4 ranges in parallel,
# joined, must equal the data set made in one piece, and so must its joined truth files.
# Usage: tests/parallel_recipe.sh PATH-TO-MUREL
set -euo pipefail
murel=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
export PATH="$(dirname "$murel"):$PATH"

murel generate whole.cdb --seed 7 --events 400 --truth whole.csv

# As in docs/scaling.md: the ranges on this host's cores, one thread each.
pieces=4 per_piece=100
seq 0 $((pieces - 1)) | parallel -j "$(nproc)" \
  'murel generate piece-{}.cdb --seed 7 --first-event $(({} * '$per_piece')) --events '$per_piece' --threads 1 --truth piece-{}.csv'
{ head -c 12 /dev/zero; for k in $(seq 0 $((pieces - 1))); do tail -c +13 "piece-$k.cdb"; done; } > joined.cdb
# Each truth table starts with a comment naming its events; the joined one gets the whole range's.
# Tables of pieces in which a record wrapped end in a column wrapped; the others get a 0 there.
wrapped=0; for k in $(seq 0 $((pieces - 1))); do if [[ $(sed -n '2{p;q}' "piece-$k.csv") == *,wrapped ]]; then wrapped=1; fi; done
{ echo "# data-set = $(sed -n 's/^data-set = //p' piece-0.cdb.model); first-event = 0; events = $((pieces * per_piece))"
  for k in $(seq 0 $((pieces - 1))); do
    awk -v all="$wrapped" -v first="$((k == 0))" \
      'NR == 1 { next } NR == 2 { has = /,wrapped$/; if (first) print $0 (all && !has ? ",wrapped" : ""); next } { print $0 (all && !has ? ",0" : "") }' \
      "piece-$k.csv"
  done; } > joined.csv

cmp whole.cdb joined.cdb
cmp whole.csv joined.csv
# The joined truth belongs to the joined data: murel analyse compares them.
murel analyse joined.cdb --truth joined.csv -o joined > /dev/null
echo "4 ranges joined equal the whole data set and its truth"
