#!/usr/bin/env bash
# Judges a choice of band-pass mask spreads by what it does to the small
# sensor's verification on real windows, before anything is retrained:
#   1. a copy of the committed tree with its masks regenerated from the
#      spreads given (tools/bandpass/gen_bandpass_masks.py);
#   2. that library's extraction on the real sets of DATA: minutiae found
#      per 88 x 88 window at each impression's foreground centre;
#   3. the protocol dumps of the real sets and of generated prints (fpsynth
#      seeds 303 and 404, as the protocol stage of train-models.sh makes
#      them), with "ehmsq-xs" refitted on them with each real set left out
#      in turn (fit_protocol.py --loso; seed 303 fitted on, 404 only
#      measured).
# Run it once with the spreads of the committed masks (0.54 and 0.807) and
# once with the candidate: the two reports compare like with like.  Nothing
# in the checkout changes; the trial's copy, dumps and report are in WORK.
#
# --quick makes the generated sets small (6 fingers each), to try the script.
#
#   bash scripts/bandpass-trial.sh --radial R --angular A [--data DIR] [--work DIR] [--quick]
set -euo pipefail
cd "$(dirname "$0")/.."
DATA=../shared/data
RADIAL=
ANGULAR=
WORK=
QUICK=0
usage() {
  echo "usage: $0 --radial R --angular A [--data DIR] [--work DIR] [--quick]" >&2
  exit 2
}
while [ $# -gt 0 ]; do
  case "$1" in
    --radial) RADIAL=$2; shift 2 ;;
    --angular) ANGULAR=$2; shift 2 ;;
    --data) DATA=$2; shift 2 ;;
    --work) WORK=$2; shift 2 ;;
    --quick) QUICK=1; shift ;;
    *) usage ;;
  esac
done
[ -n "$RADIAL" ] && [ -n "$ANGULAR" ] || usage
sets=$( (find "$DATA" -mindepth 1 -maxdepth 1 -type d 2>/dev/null || true) | wc -l)
[ "$sets" -ge 2 ] || {
  echo "bandpass-trial: $DATA must hold at least two sets (one folder each): each is judged with the others fitted on" >&2
  exit 2; }
WORK=${WORK:-build-bandpass/r$RADIAL-a$ANGULAR}
PY=/usr/bin/python3
[ -x "$PY" ] || PY=python3
bash scripts/deps.sh --train >/dev/null

SRC=$WORK/src
rm -rf "$SRC"; mkdir -p "$SRC"
git archive HEAD | tar -x -C "$SRC"
"$PY" "$SRC/tools/bandpass/gen_bandpass_masks.py" --radial "$RADIAL" --angular "$ANGULAR" \
  "$SRC/libAlg/Lumetra/engine/image/bandpass_tables.cpp"
cmake -S "$SRC" -B "$WORK/build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DTARSIO_LIBRARY_ONLY=ON -DTARSIO_BENCH=OFF -DBUILD_TESTING=OFF >/dev/null
cmake --build "$WORK/build" -j "$(nproc)" >/dev/null
B=$WORK/build/tools
REPORT=$WORK/report.txt
echo "band-pass trial: radial $RADIAL, angular $ANGULAR, tree $(git rev-parse --short HEAD)" > "$REPORT"

# Minutiae per window (the command's overlay counts what the extractor found).
for db in "$DATA"/*/; do
  n=0; total=0; few=0
  for img in "$db"*; do
    m=$("$B/lumetra/lumetra" extract --json --window 88x88 "$img" -o "$WORK/w.iso" \
          --overlay "$WORK/w.png" 2>/dev/null |
        "$PY" -c 'import json, sys; print(json.load(sys.stdin)["minutiae"])' 2>/dev/null) || continue
    n=$((n + 1)); total=$((total + m)); [ "$m" -gt 3 ] || few=$((few + 1))
  done
  [ "$n" -gt 0 ] && "$PY" -c "print('minutiae per 88 x 88 window  %-14s %4d windows  mean %.2f  with 3 or fewer: %d' % ('$(basename "$db")', $n, $total / $n, $few))" >> "$REPORT"
done

# Protocol dumps, as the protocol stage of train-models.sh makes them.
p=$WORK/dumps
# shellcheck source=scripts/protocol-dumps.sh
. scripts/protocol-dumps.sh
protocol_dumps "$B" "$p" "$DATA" "$QUICK"
"$PY" "$SRC/tools/train/fit_protocol.py" --loso --fit-generated "$p/gen-303" \
  --measure "$p/gen-404" "${PROTOCOL_REALS[@]}" >> "$REPORT"
cat "$REPORT"
