#!/usr/bin/env bash
# Checks that the shared library exports exactly the names in its export
# list, each with the version node the list puts it in (objdump -T), that
# every exported name is declared in the public header (the tools' internal
# set, named lumetra_tools_, in the internal header instead, and nowhere in
# the public one), and (when given) that there are exactly that many public
# ones.
set -euo pipefail
lib=$1 map=$2 header=$3 expected=${4:-} internal=${5:-}
# name -> node from the list: every "NODE {" opens a node, its "global:"
# names belong to it (comments are skipped).
listed_nodes=$(sed -e 's|/\*.*\*/||g' -e '/\/\*/,/\*\//d' "$map" | awk '
  /^[A-Z][A-Z0-9_]*[[:space:]]*\{/ { node = $1; sub(/\{.*/, "", node); global = 0; next }
  /global:/ { global = 1; next }
  /local:/ { global = 0; next }
  global && /^[[:space:]]*[A-Za-z_][A-Za-z0-9_]*;/ { name = $1; sub(/;.*/, "", name); print name, node }' | sort)
[ -n "$listed_nodes" ] || { echo "the export list $map names no export in a version node"; exit 1; }
# objdump -T: address, flags, section, size, version, name; defined
# functions and objects only (each version node also appears as an
# absolute symbol named after it).
exported_nodes=$(objdump -T "$lib" | awk '/ DF | DO / && $0 !~ /\*(UND|ABS)\*/ { print $NF, $(NF-1) }' | sort)
exported=$(echo "$exported_nodes" | awk '{ print $1 }')
listed=$(echo "$listed_nodes" | awk '{ print $1 }')
if [ "$exported" != "$listed" ]; then
  echo "exports differ from the export list:"
  diff <(echo "$listed") <(echo "$exported") || true
  exit 1
fi
if [ "$exported_nodes" != "$listed_nodes" ]; then
  echo "exports whose version is not the node of the export list (list / library):"
  diff <(echo "$listed_nodes") <(echo "$exported_nodes") || true
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
nodes=$(echo "$listed_nodes" | awk '{ print $2 }' | sort -u | tr '\n' ' ')
echo "$(echo "$exported" | wc -l) exports ($public public) match the export list, in the version nodes ${nodes% }"
