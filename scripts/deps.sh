#!/usr/bin/env bash
# Installs every Debian package the project needs to build, test and run.
# Safe to run again: apt-get skips what is already installed.
set -euo pipefail

PACKAGES=(
  # toolchain and build
  build-essential cmake ninja-build pkg-config clang-14 libclang-rt-14-dev lld-14
  # tests and benchmarks
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  # the station program: GUI, device discovery, service control, raw capture
  qt6-base-dev libudev-dev libsystemd-dev libfprint-2-dev libglib2.0-dev
  # Debian packages (CPack reads binaries with file and dpkg-shlibdeps)
  file dpkg-dev
  # the dialog's Chinese texts, and a plain image reader used by tests
  fonts-noto-cjk python3
  # the tools' image readers (PNG, TIFF, PGM), and the images the command's tests write
  libpng-dev libtiff-dev libnetpbm-dev python3-pil
  # the evaluation report (scripts/evaluate.sh), which the tests run
  python3-numpy python3-matplotlib python3-sklearn
)
# Training the verification models (scripts/train-models.sh) also needs the
# numerics and plotting packages; only that script asks for them.
if [ "${1:-}" = --train ]; then
  PACKAGES+=(python3-numpy python3-sklearn python3-matplotlib)
fi

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "deps: all ${#PACKAGES[@]} packages present"
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
echo "deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
