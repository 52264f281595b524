#!/usr/bin/env bash
# Rebuilds the verification models of every "ehm" configuration from data:
#   1. dumps the 30 feature scores of genuine and impostor comparisons
#      (generated prints from fixed seeds, and centred windows of the real
#      prints in DATA when that folder exists);
#   2. fits each configuration's score model and estimates its threshold
#      table on the fitting split, validates on held-out fingers and on
#      each real database left out in turn;
#   3. writes libAlg/Lumetra/engine/match/vermodel_data.cpp and the report
#      under doc/models/;
#   3b. the protocol stage (when DATA holds real sets): refits "ehmsq-xs" on
#      the small-sensor protocol itself (every grid window against fingers
#      enrolled through the exports; real sets and generated full prints in
#      the fit), monotone in every score, with thresholds from the worst
#      real set's impostors; a second generated set is only measured;
#   4. the coherence stage: with the library rebuilt on those plain models,
#      dumps the 24 coherence feature scores of probes against enrolled
#      multi-templates (mt-verify-eval) for the two configurations that
#      carry a coherence model, fits those models and their threshold
#      tables, and writes them into the same file;
#   5. checks that the rebuilt library scores fresh held-out comparisons
#      exactly as the training's integer replica does (0 differences).
# Same inputs, same output: every generated set comes from a seed below.
# --protocol runs the protocol stage alone (see doc/models/small-sensor-protocol.md)
# and then the coherence stage, on the other plain models already in the
# model data; --no-protocol leaves "ehmsq-xs" with the pair-fitted model of
# the plain stage.
# --coherence runs the coherence stage alone on the plain models already in
# the model data (doc/models/models.json keeps everything the generated
# file is written from, so the plain part comes out byte for byte as it was).
#
#   bash scripts/train-models.sh [--data DIR] [--work DIR] [--quick] [--protocol | --no-protocol] [--coherence]
set -euo pipefail
cd "$(dirname "$0")/.."
DATA=../shared/data
WORK=build-train
SCALE=full
DUMP_ONLY=0
PLAIN=1
PROTOCOL=1
while [ $# -gt 0 ]; do
  case "$1" in
    --data) DATA=$2; shift 2 ;;
    --work) WORK=$2; shift 2 ;;
    --quick) SCALE=quick; shift ;;
    --dump-only) DUMP_ONLY=1; shift ;;
    --coherence) PLAIN=0; PROTOCOL=0; shift ;;
    --protocol) PLAIN=0; PROTOCOL=1; shift ;;
    --no-protocol) PROTOCOL=0; shift ;;
    *) echo "usage: $0 [--data DIR] [--work DIR] [--quick] [--dump-only] [--protocol | --no-protocol] [--coherence]" >&2; exit 2 ;;
  esac
done

bash scripts/deps.sh --train >/dev/null
# Debian's interpreter, which the packages above belong to.
PY=/usr/bin/python3
[ -x "$PY" ] || PY=python3
BUILD_DIR=$WORK/build bash scripts/build.sh -DCMAKE_BUILD_TYPE=Release \
  -DTARSIO_LIBRARY_ONLY=ON -DTARSIO_BENCH=OFF -DBUILD_TESTING=OFF >/dev/null
DUMP=$WORK/build/tools/train/feature-dump
EVAL=$WORK/build/tools/mt_verify_eval/mt-verify-eval
MODELS=libAlg/Lumetra/engine/match/vermodel_data.cpp
COMMAND="bash scripts/train-models.sh"
[ "$SCALE" = full ] || COMMAND="$COMMAND --quick"
mkdir -p "$WORK/dumps"

# name : kind : capture size (rows x cols) : real windows : fitting fingers x impressions
# (the larger captures compare more slowly, so they get fewer; the small
# sensor the library ships for gets the most).  Real windows "yes": fitted
# on, each real set left out in turn for its figures; "measure": only
# measured, the model comes from generated prints alone.
CONFIGS="ehmsq-xs:quadratic:88x88:yes:24x12
ehmsq-s:quadratic:114x114:measure:16x8
ehmre-s:quadratic:80x146:measure:16x8
ehmsq-m:quadratic:128x128:measure:12x8
ehmre-m:quadratic:88x176:measure:12x8
ehmsq-l:linear:158x158:measure:12x8
ehmsq-xl:linear:197x197:yes:12x8"
QUICK=0
[ "$SCALE" = quick ] && QUICK=1
# The stage option, as the generated files' headers name the command.
STAGE=""
[ "$PLAIN" = 1 ] || STAGE=" --coherence"
[ "$PLAIN" = 1 ] || [ "$PROTOCOL" = 0 ] || STAGE=" --protocol"
[ "$PLAIN" = 0 ] || [ "$PROTOCOL" = 1 ] || STAGE=" --no-protocol"

# Dumps are kept between runs while the engine sources they came from are
# unchanged (the model data itself does not change the feature scores).
stamp=$(git ls-files -s libAlg tools/train tools/fpsynth | grep -v vermodel_data | sha1sum | cut -c1-16)
[ "$(cat "$WORK/dumps/stamp" 2>/dev/null)" = "$stamp" ] || { rm -rf "$WORK/dumps"; mkdir -p "$WORK/dumps"; echo "$stamp" > "$WORK/dumps/stamp"; }

dump() {  # out, then feature-dump arguments
  local out=$1; shift
  if [ ! -s "$out" ]; then
    nice "$DUMP" --out "$out.tmp" "$@" 2> "$out.log"
    mv "$out.tmp" "$out"
  fi
}

plans=()
[ "$PLAIN" = 1 ] && while IFS=: read -r name kind size real scale; do
  d=$WORK/dumps/$name
  mkdir -p "$d"
  fingers=${scale%x*}; impressions=${scale#*x}
  [ "$QUICK" = 0 ] || { fingers=6; impressions=8; }
  # Fitting split: fingers of seed 101; held-out split: other fingers (seed 202).
  dump "$d/fit.csv" --generate --fingers "$fingers" --impressions "$impressions" \
       --seed 101 --size "$size" --config "$name" --genuine all --impostors all
  dump "$d/heldout.csv" --generate --fingers "$fingers" --impressions 8 \
       --seed 202 --size "$size" --config "$name" --genuine all --impostors all
  reals=""
  if [ "$real" != no ] && [ -d "$DATA" ]; then
    for db in "$DATA"/*/; do
      db=$(basename "$db")
      dump "$d/real-$db.csv" --dir "$DATA/$db" --window "$size" --config "$name" \
           --genuine all --impostors all
      reals="$reals,$d/real-$db.csv"
    done
  fi
  if [ "$real" = measure ]; then
    plans+=("$name:$kind:$d/fit.csv:$d/heldout.csv::${reals#,}")
  else
    plans+=("$name:$kind:$d/fit.csv:$d/heldout.csv${reals:+:${reals#,}}")
  fi
done <<< "$CONFIGS"

if [ "$PLAIN" = 1 ]; then
  [ "$DUMP_ONLY" = 0 ] || exit 0
  "$PY" tools/train/train_models.py --out "$MODELS" --report doc/models --command "$COMMAND" \
    "${plans[@]}"
  BUILD_DIR=$WORK/build bash scripts/build.sh >/dev/null
fi

# ---- protocol stage: "ehmsq-xs" refitted on the small-sensor protocol itself
# Every probe window of a 5 x 5 grid on every impression against fingers
# enrolled through the exports from 32 windows (protocol-dump), on the real
# sets of DATA and on generated full prints (fpsynth seed 303, fitted on;
# seed 404, only measured); the monotone model comes from all of them, the
# threshold table from the real sets' impostors alone
# (tools/train/fit_protocol.py, which also measures each real set left out).
if [ "$PROTOCOL" = 1 ] && [ ! -d "$DATA" ]; then
  echo "train-models: no real sets in $DATA: ehmsq-xs keeps the model of the plain stage" >&2
elif [ "$PROTOCOL" = 1 ]; then
  p=$WORK/dumps/protocol
  # shellcheck source=scripts/protocol-dumps.sh
  . scripts/protocol-dumps.sh
  protocol_dumps "$WORK/build/tools" "$p" "$DATA" "$QUICK"
  "$PY" tools/train/fit_protocol.py --write --loso --out "$MODELS" --report doc/models \
    --command "$COMMAND$STAGE" --fit-generated "$p/gen-303" --measure "$p/gen-404" \
    "${PROTOCOL_REALS[@]}" | tee "$WORK/protocol-fit.txt"
  BUILD_DIR=$WORK/build bash scripts/build.sh >/dev/null
fi

# ---- coherence stage
# name : capture size (rows x cols) : real windows : fitting fingers : held-out fingers
# Every probe of a set is compared with every enrolled finger of the set
# (32 captures each); the fitting and held-out fingers come from different
# seeds (101, 202), the real windows from each database of DATA.
COHERENCE="ehmsq-xs:88x88:yes:48:24
ehmre-s:80x146:yes:28:14"
# The features depend on the plain models (the link scores), so the dumps
# are kept only while the engine sources and those models are unchanged.
cstamp=$( (git ls-files -s libAlg tools/mt_verify_eval tools/fpsynth | grep -v vermodel_data
           "$PY" tools/train/train_models.py --plain-digest --report doc/models) | sha1sum | cut -c1-16)
[ "$(cat "$WORK/coherence/stamp" 2>/dev/null)" = "$cstamp" ] || {
  rm -rf "$WORK/coherence"; mkdir -p "$WORK/coherence"; echo "$cstamp" > "$WORK/coherence/stamp"; }

cdump() {  # out, then mt-verify-eval arguments
  local out=$1; shift
  if [ ! -s "$out" ]; then
    nice "$EVAL" --no-eval --dump-coherence "$out.tmp" "$@" > "$out.log" 2>&1
    mv "$out.tmp" "$out"
  fi
}

cplans=()
while IFS=: read -r name size real fit held; do
  d=$WORK/coherence/$name
  mkdir -p "$d"
  [ "$QUICK" = 0 ] || { fit=8; held=6; }
  cdump "$d/fit.csv" --config "$name" --synthetic "$fit" --seed 101 --probes 8
  cdump "$d/heldout.csv" --config "$name" --synthetic "$held" --seed 202 --probes 8
  reals=""
  if [ "$real" = yes ] && [ -d "$DATA" ]; then
    for db in "$DATA"/*/; do
      db=$(basename "$db")
      cdump "$d/real-$db.csv" --config "$name" --data "$DATA/$db" --probes-per-image 3
      reals="$reals,$d/real-$db.csv"
    done
  fi
  cplans+=("$name:$d/fit.csv:$d/heldout.csv${reals:+:${reals#,}}")
done <<< "$COHERENCE"
[ "$DUMP_ONLY" = 0 ] || exit 0
"$PY" tools/train/train_models.py --coherence --out "$MODELS" --report doc/models \
  --command "$COMMAND$STAGE" "${cplans[@]}"

# The library, rebuilt with the new data, must give the replica's scores.
BUILD_DIR=$WORK/build bash scripts/build.sh >/dev/null
checks=()
while IFS=: read -r name kind size real scale; do
  out=$WORK/check-$name.csv
  rm -f "$out"
  "$DUMP" --out "$out" --generate --fingers 4 --impressions 4 --seed 303 --size "$size" \
    --config "$name" --genuine all --impostors all 2>/dev/null
  checks+=("$name:$out")
done <<< "$CONFIGS"
ccheck=()
while IFS=: read -r name size real fit held; do
  out=$WORK/check-coherence-$name.csv
  rm -f "$out"
  "$EVAL" --no-eval --dump-coherence "$out" --config "$name" --synthetic 6 --seed 303 \
    --probes 4 >/dev/null 2>&1
  ccheck+=("$name:$out")
done <<< "$COHERENCE"
"$PY" tools/train/train_models.py --check --report doc/models "${checks[@]}"
"$PY" tools/train/train_models.py --check-coherence --report doc/models "${ccheck[@]}"
