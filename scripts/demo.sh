#!/usr/bin/env bash
# The main job: one factory test run of the station against the virtual
# sensor module.  Installs what the project needs, builds it, plugs in
# tarsio-vmodule with a profile (the good USB module by default), starts the
# tarsio program (offscreen when there is no display), lets the run finish by
# itself, and prints the verdict, the exit code and where the results are.
#
#   bash scripts/demo.sh [--profile FILE] [--attended] [--out DIR] [--no-build]
#
#   --profile FILE  a virtual module profile (tools/vmodule/profiles/*.ini)
#   --attended      show message boxes and wait for the operator; by default
#                   the run is unattended: message boxes go to the log, so a
#                   line script can never hang on one
#   --out DIR       where the station, its results and the screenshot go
#                   (default: build/demo)
#   --no-build      skip the package check and the build
#
# Exit code: 0 when the module passed (station exit code 12), 1 when it
# failed (21), 2 when the run did not end with a verdict.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
BUILD=${BUILD_DIR:-build}
PROFILE=tools/vmodule/profiles/good-usb-type1.ini
OUT=$BUILD/demo
UNATTENDED=1
BUILD_FIRST=1
while [ $# -gt 0 ]; do
  case "$1" in
    --profile) PROFILE=$2; shift 2 ;;
    --attended) UNATTENDED=0; shift ;;
    --out) OUT=$2; shift 2 ;;
    --no-build) BUILD_FIRST=0; shift ;;
    *) echo "usage: $0 [--profile FILE] [--attended] [--out DIR] [--no-build]" >&2; exit 2 ;;
  esac
done
case "$PROFILE" in /*) ;; *) PROFILE=$ROOT/$PROFILE ;; esac
case "$OUT" in /*) ;; *) OUT=$ROOT/$OUT ;; esac

if [ "$BUILD_FIRST" = 1 ]; then
  bash scripts/deps.sh
  bash scripts/build.sh
fi

# A fresh station directory: the program, its AppConfig.ini (the SPI
# variant for a module on SPI), and everything the run writes.
STATION=$OUT/station
rm -rf "$OUT"
mkdir -p "$STATION" "$OUT/run" "$OUT/runtime"
chmod 700 "$OUT/runtime"
cp "$BUILD/tarsio/tarsio" "$STATION/"
if grep -qi '^bus *= *spi' "$PROFILE"; then
  cp tools/vmodule/AppConfig-spi.ini "$STATION/AppConfig.ini"
else
  cp tools/vmodule/AppConfig.ini "$STATION/AppConfig.ini"
fi

export TARSIO_VMODULE_DIR=$OUT/run
export FP_VIRTUAL_IMAGE=$OUT/finger.sock
export XDG_RUNTIME_DIR=$OUT/runtime
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then export QT_QPA_PLATFORM=offscreen; fi
if [ "$UNATTENDED" = 1 ]; then export TARSIO_UNATTENDED=1; fi

"$BUILD/tools/vmodule/tarsio-vmodule" --profile "$PROFILE" >"$OUT/vmodule.log" 2>&1 &
VMODULE=$!
trap 'kill $VMODULE 2>/dev/null || true; wait $VMODULE 2>/dev/null || true' EXIT
for _ in $(seq 1 200); do
  ls "$OUT/run"/*.desc >/dev/null 2>&1 && break
  sleep 0.025
done

echo "demo: module $(basename "$PROFILE" .ini), station in $STATION"
START=$(date +%s.%N)
set +e
(cd "$STATION" && timeout 120 ./tarsio --close-screenshot "$OUT/screenshot.png")
CODE=$?
set -e
END=$(date +%s.%N)

case $CODE in
  12) VERDICT=PASS; RESULT=0 ;;
  21) VERDICT=FAIL; RESULT=1 ;;
  124) VERDICT="NONE (the run did not end within 120 s)"; RESULT=2 ;;
  *) VERDICT="NONE (unexpected exit)"; RESULT=2 ;;
esac
echo "demo: verdict $VERDICT, station exit code $CODE, run took $(awk "BEGIN { printf \"%.1f\", $END - $START }") s"
for f in TestResult/Pass/Pass.txt TestResult/Fail/Fail.txt TestResult/SensorBadtest.txt \
         TestResult/Pass/Sensorbadtest_* TestResult/Fail/Sensorbadtest_* TestResult/capture/*.bmp \
         TestResult/runs/*.json TestResult/runs.jsonl log/app.log; do
  for path in "$STATION"/$f; do
    [ -e "$path" ] && echo "demo: result  $path"
  done
done
[ -e "$OUT/screenshot.png" ] && echo "demo: screenshot $OUT/screenshot.png"
exit $RESULT
