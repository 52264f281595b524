#!/usr/bin/env bash
# Regenerates the linked-cluster matcher's threshold list
# (libAlg/Lumetra/engine/match/linked_cluster_thresholds.cpp) from the
# impostor scores of a generated set of 88 x 88 captures.
#
#   bash tools/lcmatch/make_thresholds.sh [BUILD_DIR]
#
# BUILD_DIR (default build) must hold fpsynth and lcmatch-eval.
set -euo pipefail
cd "$(dirname "$0")/../.."
BUILD_DIR=${1:-build}
SET_ARGS="--fingers 100 --impressions 8 --size 88x88 --seed 2"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
"$BUILD_DIR/tools/fpsynth/fpsynth" set --out "$tmp/thresholds-set" $SET_ARGS >/dev/null
"$BUILD_DIR/tools/lcmatch/lcmatch-eval" thresholds "$tmp/thresholds-set" \
  --out libAlg/Lumetra/engine/match/linked_cluster_thresholds.cpp \
  --note "fpsynth set --out <set> $SET_ARGS" --product 1
