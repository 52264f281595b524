#!/usr/bin/env bash
# Uses an installed Lumetra as a user would, and checks what it gets:
#   use_installed.sh PREFIX LIBDIR SOURCE_DIR SET_DIR REFERENCE_HOST REFERENCE_RECORD WORK_DIR
# PREFIX/LIBDIR hold the library, pkg-config and CMake files, PREFIX/include
# the header and PREFIX/bin the lumetra command.  The C example host
# (examples/enroll_verify.c) is built twice, with `pkg-config --cflags --libs
# lumetra` and with find_package(Lumetra) in a small CMake project; each
# build must load the installed library, enrol the captures in SET_DIR into
# a record identical to REFERENCE_RECORD (written by REFERENCE_HOST, the
# build tree's copy of the host) and verify as that copy does.  With
# RELOCATE=1 the prefix is also moved and used from its new place.
set -euo pipefail
prefix=$1 libdir=$2 src=$3 set_dir=$4 reference_host=$5 reference=$6 work=$7
version=$(sed -n 's/^project([A-Za-z]* VERSION \([0-9.]*\).*/\1/p' "$src/CMakeLists.txt")

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

rm -rf "$work"
mkdir -p "$work"
lib=$prefix/$libdir

# The library: versioned file, soname link, link name.
[ "$(readlink "$lib/liblumetra.so")" = liblumetra.so.1 ] || fail "$lib/liblumetra.so does not point at liblumetra.so.1"
[ "$(readlink "$lib/liblumetra.so.1")" = "liblumetra.so.$version" ] || fail "$lib/liblumetra.so.1 does not point at liblumetra.so.$version"
soname=$(objdump -p "$lib/liblumetra.so.$version" | awk '$1 == "SONAME" { print $2 }')
[ "$soname" = liblumetra.so.1 ] || fail "soname is '$soname'"
"$prefix/bin/lumetra" info >/dev/null || fail "$prefix/bin/lumetra info failed"
# The command is a host of the installed library like any other.
loaded=$(ldd "$prefix/bin/lumetra" | awk '$1 == "liblumetra.so.1" { print $3 }')
[ -n "$loaded" ] && [ "$(readlink -f "$loaded")" = "$(readlink -f "$lib/liblumetra.so.1")" ] ||
  fail "$prefix/bin/lumetra loads '$loaded', not $lib/liblumetra.so.1"

# The reference: the build tree's host verifying with its own record.
expected=$(cd "$work" && "$reference_host" verify "$set_dir" "$reference") || fail "the reference host failed"

# Runs one build of the host: enrol, compare the record, verify, compare the
# output, and check that it loaded the installed library.
check_host() {
  local what=$1 host=$2
  local loaded
  loaded=$(ldd "$host" | awk '$1 == "liblumetra.so.1" { print $3 }')
  [ -n "$loaded" ] && [ "$(readlink -f "$loaded")" = "$(readlink -f "$lib/liblumetra.so.1")" ] ||
    fail "$what: loads '$loaded', not $lib/liblumetra.so.1"
  "$host" enroll "$set_dir" "$work/$what.record" >"$work/$what.enroll.log" || fail "$what: enroll failed"
  cmp -s "$work/$what.record" "$reference" || fail "$what: the record differs from the build tree's"
  local got
  got=$("$host" verify "$set_dir" "$work/$what.record") || fail "$what: verify failed"
  [ "$got" = "$expected" ] || fail "$what: verify printed
$got
instead of
$expected"
  echo "$what: $(echo "$got" | tr '\n' ';')"
}

# pkg-config.  The dynamic loader is told where the prefix's library is,
# unless it is Debian's own prefix.
export PKG_CONFIG_PATH=$lib/pkgconfig
[ "$(pkg-config --modversion lumetra)" = "$version" ] || fail "pkg-config version $(pkg-config --modversion lumetra)"
[ "$(pkg-config --variable=libdir lumetra)" = "$lib" ] || fail "pkg-config libdir $(pkg-config --variable=libdir lumetra)"
[ "$(pkg-config --variable=includedir lumetra)" = "$prefix/include" ] ||
  fail "pkg-config includedir $(pkg-config --variable=includedir lumetra)"
flags=$(pkg-config --cflags --libs lumetra)
cc -Wall -Werror -o "$work/host-pkgconfig" "$src/examples/enroll_verify.c" $flags
(
  if [ "$prefix" != /usr ]; then export LD_LIBRARY_PATH=$lib; fi
  check_host host-pkgconfig "$work/host-pkgconfig"
)

# find_package(Lumetra): the imported target carries the include directory
# and the library; the host's run path points at the library.
consumer() {
  local what=$1 prefix_path=$2
  cmake -S "$src/test/install/consumer" -B "$work/$what" -DCMAKE_PREFIX_PATH="$prefix_path" \
    -DEXAMPLE_SOURCE="$src/examples/enroll_verify.c" -DEXPECTED_VERSION="$version" \
    -DCMAKE_C_FLAGS="-Wall -Werror" >"$work/$what.configure.log" 2>&1 ||
    fail "$what: configure failed: $(cat "$work/$what.configure.log")"
  grep -q "Lumetra $version from $prefix_path/$libdir/cmake/Lumetra" "$work/$what.configure.log" ||
    fail "$what: found another Lumetra: $(grep 'Lumetra ' "$work/$what.configure.log")"
  cmake --build "$work/$what" >"$work/$what.build.log" 2>&1 || fail "$what: build failed: $(cat "$work/$what.build.log")"
}
consumer host-cmake "$prefix"
check_host host-cmake "$work/host-cmake/enroll_verify"

# The CMake package is relocatable: a staging prefix moved elsewhere still
# works (the pkg-config file names its prefix and is not).
if [ "${RELOCATE:-0}" = 1 ]; then
  moved=$prefix-moved
  rm -rf "$moved"
  mv "$prefix" "$moved"
  trap 'mv "$moved" "$prefix"' EXIT
  consumer host-moved "$moved"
  lib=$moved/$libdir
  check_host host-moved "$work/host-moved/enroll_verify"
fi
echo "installed library at $prefix: pkg-config and find_package(Lumetra) hosts pass"
