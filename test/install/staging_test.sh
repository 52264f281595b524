#!/usr/bin/env bash
# Installs the build tree into a staging prefix, checks what each install
# component put there, and uses the library from it as a user would
# (use_installed.sh), moving the prefix once to show that the CMake package
# is relocatable.
#   staging_test.sh BUILD_DIR LIBDIR SOURCE_DIR SET_DIR REFERENCE_HOST REFERENCE_RECORD WORK_DIR
set -euo pipefail
build=$1 libdir=$2 src=$3 set_dir=$4 reference_host=$5 reference=$6 work=$7
here=$(dirname "$0")
prefix=$work/prefix

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

rm -rf "$work" "$prefix-moved"
mkdir -p "$work"
cmake --install "$build" --prefix "$prefix" >"$work/install.log" || fail "cmake --install failed"

# Every installed file belongs to one of the package components, and the
# components' files are where the packages and the manual say.
expect() {
  for f in "$@"; do [ -e "$prefix/$f" ] || fail "not installed: $f"; done
}
expect share/doc/liblumetra1/copyright share/doc/liblumetra-dev/copyright share/doc/lumetra-tools/copyright
expect include/lumetra.h "$libdir/pkgconfig/lumetra.pc" "$libdir/cmake/Lumetra/LumetraConfig.cmake" \
  "$libdir/cmake/Lumetra/LumetraConfigVersion.cmake" "$libdir/cmake/Lumetra/LumetraTargets.cmake" \
  bin/lumetra share/man/man1/lumetra.1.gz
if [ -e "$build/tarsio/tarsio" ]; then
  expect libexec/tarsio/tarsio bin/tarsio-station share/tarsio/AppConfig.ini share/tarsio/AppConfig-spi.ini \
    share/man/man1/tarsio.1.gz share/man/man1/tarsio-station.1.gz \
    bin/tarsio-vmodule share/tarsio-vmodule/profiles/good-usb-type1.ini share/man/man1/tarsio-vmodule.1.gz \
    share/doc/tarsio/copyright share/doc/tarsio-vmodule/copyright
  # The station program must not be on PATH: it writes beside itself.
  [ ! -e "$prefix/bin/tarsio" ] || fail "bin/tarsio installed"
fi
unlisted=$(cd "$prefix" && find . ! -type d | sed 's|^\./||' | grep -v -E \
  "^($libdir/liblumetra\.so.*|$libdir/pkgconfig/lumetra\.pc|$libdir/cmake/Lumetra/.*|include/lumetra\.h|bin/(lumetra|tarsio-station|tarsio-vmodule)|libexec/tarsio/tarsio|share/tarsio/AppConfig(-spi)?\.ini|share/tarsio-vmodule/profiles/.*\.ini|share/man/man1/(lumetra|tarsio|tarsio-station|tarsio-vmodule)\.1\.gz|share/doc/(liblumetra1|liblumetra-dev|lumetra-tools|tarsio|tarsio-vmodule)/copyright)$" || true)
[ -z "$unlisted" ] || fail "installed but in no package: $unlisted"

# The manual page names every subcommand that the command's usage names
# (lines "lumetra CMD ..." or, in a "Commands:" list, "  CMD ...").
commands=$("$prefix/bin/lumetra" --help | awk '
  /^[A-Z][a-z]*:/ { listing = ($1 == "Commands:") }
  $1 == "lumetra" && $2 ~ /^[a-z][a-z-]*$/ { print $2 }
  $1 == "usage:" && $2 == "lumetra" && $3 ~ /^[a-z][a-z-]*$/ { print $3 }
  listing && /^  [a-z]/ { print $1 }' | sort -u)
[ -n "$commands" ] || fail "no subcommand found in lumetra --help"
for cmd in $commands; do
  gzip -dc "$prefix/share/man/man1/lumetra.1.gz" | grep -q "^\.B lumetra $cmd\$" ||
    fail "doc/man/lumetra.1 has no synopsis line for 'lumetra $cmd'"
done

# The station programs' manual pages name every option their help texts name.
if [ -e "$prefix/bin/tarsio-station" ]; then
  check_options() {
    local page=$1 options
    shift
    options=$({ "$@" 2>&1 || true; } | grep -o -E -- '--[a-z][a-z-]*' | grep -v -x -E -- '--help(-all)?' | sort -u || true)
    [ -n "$options" ] || fail "no option found in the help of $*"
    for opt in $options; do
      # roff writes each hyphen of an option as \-
      gzip -dc "$prefix/share/man/man1/$page.1.gz" | grep -q -F -- "${opt//-/\\-}" ||
        fail "doc/man/$page.1 does not describe $opt"
    done
  }
  check_options tarsio env QT_QPA_PLATFORM=offscreen LD_LIBRARY_PATH="$prefix/$libdir" \
    "$prefix/libexec/tarsio/tarsio" --help
  check_options tarsio-vmodule "$prefix/bin/tarsio-vmodule" --help
fi

# The station launcher prepares a station directory: its own copy of the
# program, the example configuration, an existing configuration kept.
if [ -e "$prefix/bin/tarsio-station" ]; then
  station=$work/station
  "$prefix/bin/tarsio-station" --setup "$station" 2>"$work/station.log" || fail "tarsio-station --setup failed"
  cmp -s "$station/tarsio" "$prefix/libexec/tarsio/tarsio" || fail "the station has no copy of the program"
  cmp -s "$station/AppConfig.ini" "$prefix/share/tarsio/AppConfig.ini" || fail "the station has no AppConfig.ini"
  echo "; edited" >>"$station/AppConfig.ini"
  "$prefix/bin/tarsio-station" --setup "$station" 2>/dev/null || fail "tarsio-station --setup failed again"
  tail -n 1 "$station/AppConfig.ini" | grep -q edited || fail "tarsio-station replaced an edited AppConfig.ini"
  set +e
  "$prefix/bin/tarsio-station" 2>/dev/null
  code=$?
  set -e
  [ "$code" = 2 ] || fail "tarsio-station without a directory exits $code, not 2"
fi

RELOCATE=1 bash "$here/use_installed.sh" "$prefix" "$libdir" "$src" "$set_dir" "$reference_host" "$reference" "$work/use"
