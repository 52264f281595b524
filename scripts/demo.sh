#!/usr/bin/env bash
# Installs what the project needs, builds it and runs the main job on its
# built-in default.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
bash scripts/build.sh
"${BUILD_DIR:-build}"/tools/lumetra-info/lumetra-info
