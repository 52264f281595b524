# The small sensor's verification protocol dumped (tools/train/protocol-dump)
# on the real sets of a data folder and on generated full prints: fpsynth
# seed 303 (30 fingers, which the protocol fit is fitted on) and seed 404
# (20 fingers, only measured).  Sourced by train-models.sh and
# bandpass-trial.sh.
#
#   protocol_dumps TOOLS OUT DATA QUICK
#
# TOOLS is a build's tools/ folder, OUT the dump folder (dumps already there
# are kept), QUICK 1 for generated sets of 6 fingers.  Two dumps run at a
# time, the machine's two cores.  Leaves the real sets' dump prefixes in
# the array PROTOCOL_REALS.

_protocol_dump() {  # tools, out, name, then protocol-dump arguments
  local tools=$1 out=$2 name=$3
  shift 3
  [ -s "$out/$name.attempts.csv" ] || {
    nice "$tools/train/protocol-dump" --out "$out/$name.tmp" --halves 2 "$@" 2> "$out/$name.log" &&
    mv "$out/$name.tmp.features" "$out/$name.features" &&
    mv "$out/$name.tmp.attempts.csv" "$out/$name.attempts.csv"; }
}

protocol_dumps() {
  local tools=$1 out=$2 data=$3 quick=$4 name seed fingers db
  mkdir -p "$out"
  for seed in 303 404; do
    fingers=$([ "$seed" = 303 ] && echo 30 || echo 20)
    [ "$quick" = 0 ] || fingers=6
    name=gen-$seed
    [ -s "$out/$name/done" ] || {
      rm -rf "${out:?}/$name"
      "$tools/fpsynth/fpsynth" set --out "$out/$name" --fingers "$fingers" --impressions 8 \
        --size 300x300 --seed "$seed" > /dev/null
      touch "$out/$name/done"; }
  done
  PROTOCOL_REALS=()
  for name in gen-303 gen-404; do
    _protocol_dump "$tools" "$out" "$name" --dir "$out/$name" --impostor-fingers 9 &
  done
  for db in "$data"/*/; do
    db=$(basename "$db")
    [ "$(jobs -r | wc -l)" -lt 2 ] || wait -n
    _protocol_dump "$tools" "$out" "$db" --dir "$data/$db" &
    PROTOCOL_REALS+=("$out/$db")
  done
  wait
}
