#!/usr/bin/env bash
# The Debian packages, as CI checks them: built with CPack from an already
# built and tested tree, installed on this machine, used (the lumetra
# command, and the example host built against the installed library with
# pkg-config and with find_package), then removed again.
#   test/install/packages.sh [BUILD_DIR]   (default build; run as root or with sudo)
# The tree must have run the ExampleHost tests (their captures and record
# are the reference).
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD
build=$(cd "${1:-build}" && pwd)
packages=(liblumetra1 liblumetra-dev lumetra-tools tarsio tarsio-vmodule)
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

# Debian's prefix puts the library in the multiarch directory; only the
# install rules change, nothing is compiled again.
cmake -S . -B "$build" -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
cmake --build "$build" -j "$(nproc)"
libdir=$(sed -n 's/^CMAKE_INSTALL_LIBDIR:PATH=//p' "$build/CMakeCache.txt")
rm -rf "$build/packages"
cpack --config "$build/CPackConfig.cmake" -B "$build/packages" >"$build/cpack.log" ||
  { cat "$build/cpack.log"; exit 1; }
ls -l "$build"/packages/*.deb

# Each package holds its own files and nothing else: its files' paths (below
# /usr) must all match its pattern, and the pattern's key files be there.
check_contents() {
  local package=$1 pattern=$2 deb files
  shift 2
  deb=$(ls "$build"/packages/"${package}"_*.deb)
  files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { sub(/^\.\/usr\//, "", $6); print $6 }')
  local stray
  stray=$(echo "$files" | grep -v -E "^($pattern)\$" || true)
  [ -z "$stray" ] || { echo "FAIL: $package also holds: $stray" >&2; exit 1; }
  for f in "$@"; do
    echo "$files" | grep -q -x "$f" || { echo "FAIL: $package lacks $f" >&2; exit 1; }
  done
}
check_contents liblumetra1 "$libdir/liblumetra\.so\.1(\.[0-9.]+)?|share/doc/liblumetra1/copyright" \
  "$libdir/liblumetra.so.1" share/doc/liblumetra1/copyright
check_contents liblumetra-dev "include/lumetra\.h|$libdir/liblumetra\.so|$libdir/pkgconfig/lumetra\.pc|$libdir/cmake/Lumetra/.*\.cmake|share/doc/liblumetra-dev/copyright" \
  include/lumetra.h "$libdir/liblumetra.so" "$libdir/pkgconfig/lumetra.pc" "$libdir/cmake/Lumetra/LumetraConfig.cmake" \
  share/doc/liblumetra-dev/copyright
check_contents lumetra-tools "bin/lumetra|share/man/man1/lumetra\.1\.gz|share/doc/lumetra-tools/copyright" bin/lumetra \
  share/man/man1/lumetra.1.gz share/doc/lumetra-tools/copyright
check_contents tarsio "libexec/tarsio/tarsio|bin/tarsio-station|share/tarsio/AppConfig(-spi)?\.ini|share/man/man1/tarsio(-station)?\.1\.gz|share/doc/tarsio/copyright" \
  libexec/tarsio/tarsio bin/tarsio-station share/tarsio/AppConfig.ini share/man/man1/tarsio.1.gz share/doc/tarsio/copyright
check_contents tarsio-vmodule "bin/tarsio-vmodule|share/tarsio-vmodule/profiles/.*\.ini|share/man/man1/tarsio-vmodule\.1\.gz|share/doc/tarsio-vmodule/copyright" \
  bin/tarsio-vmodule share/tarsio-vmodule/profiles/good-usb-type1.ini share/doc/tarsio-vmodule/copyright
# Every package's copyright file is the project's, in Debian's
# machine-readable form, naming the licence.
for p in "${packages[@]}"; do
  deb=$(ls "$build"/packages/"${p}"_*.deb)
  dpkg-deb --fsys-tarfile "$deb" | tar -xO "./usr/share/doc/$p/copyright" >"$build/copyright-$p"
  grep -q "^Format: .*copyright-format/1.0/" "$build/copyright-$p" && grep -q "^License: MIT\$" "$build/copyright-$p" &&
    grep -q "^Copyright: .* the Tarsio and Lumetra developers\$" "$build/copyright-$p" ||
    { echo "FAIL: $p has no proper copyright file" >&2; exit 1; }
  # No maintainer script that would keep a removed package in dpkg's
  # "config-files" state: the library's loader cache goes through the
  # ldconfig trigger.
  scripts=$(dpkg-deb -I "$deb" | awk '$NF ~ /^(preinst|postinst|prerm|postrm)$/ { print $NF }')
  [ -z "$scripts" ] || { echo "FAIL: $p has maintainer scripts: $scripts" >&2; exit 1; }
done
dpkg-deb --ctrl-tarfile "$build"/packages/liblumetra1_*.deb | tar -xO ./triggers | grep -q "^activate-noawait ldconfig\$" ||
  { echo "FAIL: liblumetra1 does not trigger ldconfig" >&2; exit 1; }
# The library's package declares its soname for packages built against it,
# and the station's names the library.
dpkg-deb --ctrl-tarfile "$build"/packages/liblumetra1_*.deb | tar -xO ./shlibs | grep -q "^liblumetra 1 liblumetra1 (>= " ||
  { echo "FAIL: liblumetra1 has no shlibs line for liblumetra.so.1" >&2; exit 1; }
dpkg-deb -f "$build"/packages/tarsio_*.deb Depends | grep -q "liblumetra1 (>= " ||
  { echo "FAIL: tarsio does not depend on liblumetra1" >&2; exit 1; }
dpkg-deb -f "$build"/packages/lumetra-tools_*.deb Depends | grep -q "liblumetra1 (>= " ||
  { echo "FAIL: lumetra-tools does not depend on liblumetra1" >&2; exit 1; }

# Packages left by an earlier run go first: apt would keep an installed
# package of the same version instead of the new file.
$SUDO dpkg --purge "${packages[@]}" >/dev/null 2>&1 || true
$SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
  "$build"/packages/*.deb >"$build/apt.log" || { cat "$build/apt.log"; exit 1; }
trap '$SUDO dpkg --purge "${packages[@]}" >/dev/null' EXIT
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Package} ${Version} ${Status}\n' "$p" | grep -q "install ok installed" ||
    { echo "FAIL: $p is not installed" >&2; exit 1; }
done

# The installed library is stripped, and its debugging information is in
# the -dbgsym package under the same build id.
lib=/usr/$libdir/liblumetra.so.1
file -L "$lib" | grep -q ", stripped" || { echo "FAIL: $lib is not stripped" >&2; exit 1; }
build_id=$(readelf -n "$lib" | awk '/Build ID/ { print $3 }')
dpkg-deb -f "$build"/packages/liblumetra1-dbgsym_*.ddeb Build-Ids | grep -q -w "$build_id" ||
  { echo "FAIL: liblumetra1-dbgsym has no debugging information for build id $build_id" >&2; exit 1; }

[ "$(command -v lumetra)" = /usr/bin/lumetra ] || { echo "FAIL: lumetra is not /usr/bin/lumetra" >&2; exit 1; }
loaded=$(ldd /usr/bin/lumetra | awk '$1 == "liblumetra.so.1" { print $3 }')
[ -n "$loaded" ] && [ "$(readlink -f "$loaded")" = "$(readlink -f "/usr/$libdir/liblumetra.so.1")" ] ||
  { echo "FAIL: /usr/bin/lumetra loads '$loaded', not /usr/$libdir/liblumetra.so.1" >&2; exit 1; }
lumetra info

# One unattended station run from the installed packages: the installed
# virtual module with its good USB profile, a station directory made by
# tarsio-station; the verdict must be a pass (12).
run=$build/installed-station
rm -rf "$run"
mkdir -p "$run/modules" "$run/runtime"
chmod 700 "$run/runtime"
(
  export TARSIO_VMODULE_DIR=$run/modules FP_VIRTUAL_IMAGE=$run/finger.sock XDG_RUNTIME_DIR=$run/runtime
  export QT_QPA_PLATFORM=offscreen TARSIO_UNATTENDED=1
  tarsio-vmodule --profile /usr/share/tarsio-vmodule/profiles/good-usb-type1.ini >"$run/vmodule.log" 2>&1 &
  vmodule=$!
  trap 'kill $vmodule 2>/dev/null || true; wait $vmodule 2>/dev/null || true' EXIT
  for _ in $(seq 1 200); do
    ls "$run"/modules/*.desc >/dev/null 2>&1 && break
    sleep 0.025
  done
  set +e
  timeout 120 tarsio-station "$run/station" 2>"$run/station.log"
  code=$?
  set -e
  [ "$code" = 12 ] && [ -f "$run/station/TestResult/Pass/Pass.txt" ] && [ -s "$run/station/log/app.log" ] ||
    { echo "FAIL: installed station run: exit code $code" >&2; cat "$run/station.log" >&2; exit 1; }
  echo "installed station: pass (12) with the installed virtual module"
)

bash test/install/use_installed.sh /usr "$libdir" "$root" "$build/examples/enroll_verify_set" \
  "$build/examples/enroll_verify" "$build/examples/enroll_verify.record" "$build/installed-use"

# Removal leaves nothing behind: after `apt-get remove` no package is left
# in any state (not even "rc", removed with its configuration kept), and
# the library has left the loader cache.
$SUDO env DEBIAN_FRONTEND=noninteractive apt-get remove -y -q "${packages[@]}" >"$build/apt-remove.log" ||
  { cat "$build/apt-remove.log"; exit 1; }
left=$(dpkg -l "${packages[@]}" 2>/dev/null | awk '/^[a-z][a-z] / && $1 != "un" { print $1, $2 }' || true)
[ -z "$left" ] || { echo "FAIL: after apt-get remove, dpkg -l still lists: $left" >&2; exit 1; }
! ldconfig -p | grep -q "liblumetra\.so\.1 " || { echo "FAIL: liblumetra.so.1 is still in the loader cache" >&2; exit 1; }
trap - EXIT
echo "packages: built, installed, used and removed without a trace"
