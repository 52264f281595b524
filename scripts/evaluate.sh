#!/usr/bin/env bash
# Evaluation report for folders of fingerprint images:
#   scripts/evaluate.sh DIR... [--out REPORT_DIR] [--seed N] [--build BUILD_DIR] [--far-grid]
# Each DIR holds <finger>_<impression>.<ext> images (8 impressions per finger;
# BMP, TIFF, PNG or PGM), gathered as bitmaps into REPORT_DIR/work first.
# Runs the small-sensor protocol, a capture against itself (and moved by up
# to 4 px) and the 1:1 protocol through liblumetra.so,
# libfprint's matcher on the same crops as a yardstick (when libfprint is
# installed), and writes REPORT_DIR/index.html (plots beside it) and
# REPORT_DIR/summary.json.  The programs come from BUILD_DIR (default
# build/), which is built first when they are missing.
# --far-grid adds the impostor grid: 18 000 impostor windows per folder of
# 10 fingers, about 5 minutes of CPU each.
# Extra settings for quick runs: EVALUATE_PROBE_WINDOWS, EVALUATE_ENROL_WINDOWS.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=evaluation-report
seed=1
build=${BUILD_DIR:-$root/build}
dirs=()
far_grid=0
fail() {
  echo "evaluate: $*" >&2
  exit 2
}
# An option's value, or one clear line when it is missing.
value() {
  [ $# -ge 2 ] && [ -n "$2" ] && [ "${2#--}" = "$2" ] || fail "$1 needs a value"
  echo "$2"
}
while [ $# -gt 0 ]; do
  case "$1" in
    --out) out=$(value "$@") || exit 2; shift 2 ;;
    --seed) seed=$(value "$@") || exit 2; shift 2 ;;
    --build) build=$(value "$@") || exit 2; shift 2 ;;
    --far-grid) far_grid=1; shift ;;
    -h|--help) sed -n '2,14p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    -*) fail "unknown option $1 (see --help)" ;;
    *) dirs+=("$1"); shift ;;
  esac
done
if [ ${#dirs[@]} -eq 0 ]; then
  echo "usage: scripts/evaluate.sh DIR... [--out REPORT_DIR] [--seed N] [--build BUILD_DIR] [--far-grid]" >&2
  exit 2
fi
[[ "$seed" =~ ^[0-9]+$ ]] || fail "--seed $seed: not a number"
for dir in "${dirs[@]}"; do
  [ -e "$dir" ] || fail "$dir: no such folder"
  [ -d "$dir" ] || fail "$dir: not a folder"
  [ -r "$dir" ] && [ -x "$dir" ] || fail "$dir: cannot be read"
done
mkdir -p "$out" 2>/dev/null && [ -w "$out" ] || fail "$out: cannot write the report there"
python=/usr/bin/python3
if ! "$python" -c 'import numpy, matplotlib, sklearn' 2>/dev/null; then
  echo "evaluate: $python lacks numpy, matplotlib or sklearn: run scripts/deps.sh" >&2
  exit 2
fi

driver=$build/tools/evaluate/lumetra-evaluate
gather=$build/tools/evaluate/lumetra-evaluate-images
yardstick=$build/tools/evaluate/fprint-yardstick
align=$build/tools/evaluate/lumetra-evaluate-align
if [ ! -x "$driver" ] || [ ! -x "$gather" ] || [ ! -x "$align" ]; then
  BUILD_DIR=$build bash "$root/scripts/build.sh" -DTARSIO_LIBRARY_ONLY=ON >/dev/null
fi

start=$(date +%s)
load_start=$(cut -d' ' -f1-3 /proc/loadavg)
mkdir -p "$out"
work=$(cd "$out" && pwd)/work
rm -rf "$work"
mkdir -p "$work"
fprint_version=$(pkg-config --modversion libfprint-2 2>/dev/null || true)
set_args=()
declare -A seen=()
for dir in "${dirs[@]}"; do
  name=$(basename "$(cd "$dir" && pwd)")
  if [ -n "${seen[$name]:-}" ]; then name="$name-${#seen[@]}"; fi
  seen[$name]=1
  set_args+=(--set "$name")
  mkdir -p "$work/$name"
  (cd "$dir" && pwd) > "$work/$name/source.txt"
  "$gather" "$dir" "$work/$name/images"
  images=$work/$name/images
  echo "evaluate: $name (small sensor)"
  "$driver" small "$images" "$work/$name/small" --seed "$seed" \
    --enrol-windows "${EVALUATE_ENROL_WINDOWS:-8}" --probe-windows "${EVALUATE_PROBE_WINDOWS:-4}"
  # Through the engine, on the 1:1 protocol's crops: where each probe
  # impression lies on the enrolled ones (the coverage split), the
  # configuration's own thresholds, and extraction and comparison timed
  # directly.  For the coverage split a generated set's ground truth goes
  # first.
  if [ -f "$dir/manifest.csv" ] && head -1 "$dir/manifest.csv" | grep -q '^finger,impression,file,.*,a,b,c,d,e,f,'; then
    cp "$dir/manifest.csv" "$work/$name/manifest.csv"
  fi
  for config in ehmsq-xl:197 ehmsq-l:158; do
    echo "evaluate: $name (engine: alignment, thresholds and timing, ${config%%:*})"
    pairs=$work/$name/pairs-${config%%:*}
    mkdir -p "$pairs"
    aligned=$pairs/align.tsv
    [ "${config%%:*}" = ehmsq-xl ] && aligned=$work/$name/align.tsv
    "$align" "$images" "$aligned" --size "${config##*:}" --thresholds "$pairs/thresholds.tsv" \
      --timing "$pairs/engine-timing.tsv"
  done
  echo "evaluate: $name (a capture against itself, and moved by up to 4 px)"
  "$driver" moved "$images" "$work/$name/moved"
  if [ "$far_grid" = 1 ]; then
    echo "evaluate: $name (impostor grid)"
    "$driver" grid "$images" "$work/$name/grid"
  fi
  for config in ehmsq-xl:197 ehmsq-l:158; do
    echo "evaluate: $name (1:1, ${config%%:*})"
    "$driver" pairs "$images" "$work/$name/pairs-${config%%:*}" --size "${config##*:}"
  done
  pairs=$work/$name/pairs-ehmsq-xl
  if [ ! -x "$yardstick" ]; then
    echo "libfprint (libfprint-2-dev) was not found when the project was built, so the yardstick program was not built" \
      > "$pairs/fprint-status.txt"
  else
    echo "evaluate: $name (libfprint yardstick)"
    if ! "$yardstick" "$pairs/crops" 197 "$pairs/scores.tsv" "$pairs/fprint.tsv" 2> "$pairs/fprint-stderr.txt"; then
      rm -f "$pairs/fprint.tsv"
      { echo "the libfprint yardstick failed:"; tail -3 "$pairs/fprint-stderr.txt"; } > "$pairs/fprint-status.txt"
    fi
  fi
done
elapsed=$(( $(date +%s) - start ))
"$python" "$root/tools/evaluate/report.py" --work "$work" --out "$out" "${set_args[@]}" \
  --command "scripts/evaluate.sh ${dirs[*]} --out $out --seed $seed$([ "$far_grid" = 1 ] && echo ' --far-grid')" --elapsed "$elapsed" \
  --load-start "$load_start" --yardstick-version "$fprint_version" \
  --source "$(git -C "$root" describe --always --dirty 2>/dev/null || echo unknown)"
