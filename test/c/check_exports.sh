#!/usr/bin/env bash
# Checks that the shared library exports exactly the names in its export
# list, that every exported name is declared in the public header, and
# (when given) that there are exactly that many of them.
set -euo pipefail
lib=$1 map=$2 header=$3 expected=${4:-}
exported=$(nm -D --defined-only "$lib" | awk '{print $NF}' | sort)
listed=$(sed -n '/global:/,/local:/p' "$map" | grep -oE '^[[:space:]]*[A-Za-z_][A-Za-z0-9_]*;' | tr -d ' ;\t' | sort)
if [ "$exported" != "$listed" ]; then
  echo "exports differ from the export list:"
  diff <(echo "$listed") <(echo "$exported") || true
  exit 1
fi
missing=0
for name in $exported; do
  grep -qE "\\b$name\\(" "$header" || { echo "not declared in the header: $name"; missing=1; }
done
[ $missing -eq 0 ] || exit 1
count=$(echo "$exported" | wc -l)
if [ -n "$expected" ] && [ "$count" -ne "$expected" ]; then
  echo "$count exports, expected $expected"
  exit 1
fi
echo "$(echo "$exported" | wc -l) exports match the export list"
