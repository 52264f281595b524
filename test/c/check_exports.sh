#!/usr/bin/env bash
# Checks that the shared library exports exactly the names in its export
# list, that every exported name is declared in the public header (the
# tools' internal set, named lumetra_tools_, in the internal header
# instead, and nowhere in the public one), and (when given) that there are
# exactly that many public ones.
set -euo pipefail
lib=$1 map=$2 header=$3 expected=${4:-} internal=${5:-}
exported=$(nm -D --defined-only "$lib" | awk '{print $NF}' | sort)
listed=$(sed -n '/global:/,/local:/p' "$map" | grep -oE '^[[:space:]]*[A-Za-z_][A-Za-z0-9_]*;' | tr -d ' ;\t' | sort)
if [ "$exported" != "$listed" ]; then
  echo "exports differ from the export list:"
  diff <(echo "$listed") <(echo "$exported") || true
  exit 1
fi
missing=0
public=0
for name in $exported; do
  case $name in
    lumetra_tools_*)
      [ -n "$internal" ] && grep -qE "\\b$name\\(" "$internal" ||
        { echo "not declared in the tools' internal header: $name"; missing=1; }
      if grep -qE "\\b$name\\b" "$header"; then echo "internal name in the public header: $name"; missing=1; fi
      ;;
    *)
      public=$((public + 1))
      grep -qE "\\b$name\\(" "$header" || { echo "not declared in the header: $name"; missing=1; }
      ;;
  esac
done
[ $missing -eq 0 ] || exit 1
count=$public
if [ -n "$expected" ] && [ "$count" -ne "$expected" ]; then
  echo "$count exports, expected $expected"
  exit 1
fi
echo "$(echo "$exported" | wc -l) exports ($public public) match the export list"
