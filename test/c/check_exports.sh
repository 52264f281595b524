#!/usr/bin/env bash
# Checks that the shared library exports exactly the names in its export
# list, and that every exported name is declared in the public header.
set -euo pipefail
lib=$1 map=$2 header=$3
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
echo "$(echo "$exported" | wc -l) exports match the export list"
