#!/usr/bin/env bash
# feature-dump on a tiny generated set: the comment line, the header with
# its 40 columns, and one row per pair (3 genuine, 3 impostor) whose
# comparison succeeded.
set -euo pipefail
dump=$1 out=$2
"$dump" --generate --fingers 3 --impressions 2 --seed 5 --out "$out" --summary
fail() { echo "feature-dump check: $*"; exit 1; }
head -1 "$out" | grep -q '^# .*configuration ehmsq-xs; 6 images; seed 5$' || fail "comment line"
header=$(sed -n 2p "$out")
[ "$(echo "$header" | tr ',' '\n' | wc -l)" -eq 40 ] || fail "header has not 40 columns"
echo "$header" | grep -q '^a,b,label,status,f0,f1,.*,f29,cheetah0,cheetah1,rotation,dx,dy,score$' ||
  fail "header columns"
rows=$(tail -n +3 "$out")
[ "$(echo "$rows" | wc -l)" -eq 6 ] || fail "not 6 rows"
echo "$rows" | awk -F, 'NF != 40 || $4 != 0 { exit 1 }' || fail "a row is short or failed"
[ "$(echo "$rows" | awk -F, '$3 == 1' | wc -l)" -eq 3 ] || fail "not 3 genuine rows"
# Genuine rows pair impressions of one finger.
echo "$rows" | awk -F, '$3 == 1 && substr($1, 1, 5) != substr($2, 1, 5) { exit 1 }' ||
  fail "genuine row across fingers"
echo "feature-dump check passed"
