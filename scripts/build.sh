#!/usr/bin/env bash
# Configures and builds the project into build/ (or the directory given by
# BUILD_DIR).  Extra arguments are passed to CMake's configure step.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR=${BUILD_DIR:-build}
cmake -S . -B "$BUILD_DIR" -G Ninja "$@" >/dev/null
cmake --build "$BUILD_DIR" -j "$(nproc)"
