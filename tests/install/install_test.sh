#!/usr/bin/env bash
# Installs the build into a temporary prefix and uses it as an application and the service
# manager would: the C road test is built against the installed library once with pkg-config and
# once with CMake's find_package, then run against the fake controller with nothing but the prefix
# on its library path, directly and through the installed server program; the installed unit
# must start the installed program.
# Arguments: BUILD_DIR LIBDIR FAKE_CONTROLLER APPLICATION_SOURCE CC CMAKE [LINK_OPTIONS]
set -euo pipefail
build=$1 libdir=$2 controller=$3 source=$4 cc=$5 cmake=$6 link_options=${7:-}
here=$(cd "$(dirname "$0")" && pwd)

top=$(mktemp -d)
trap 'rm -rf "$top"' EXIT
prefix=$top/prefix libs=$top/prefix/$libdir work=$top/work
mkdir -p "$work"

fail() {
  echo "install test: $*" >&2
  exit 1
}

# Runs a command quietly; shows what it said when it fails.
quietly() {
  "$@" >"$work/log" 2>&1 || {
    cat "$work/log" >&2
    fail "failed: $*"
  }
}

quietly "$cmake" --install "$build" --prefix "$prefix"

# Only the deliverables are installed: no test, fake, benchmark or internal library.
[ "$(ls "$prefix/bin")" = dravo_service ] || fail "bin holds: $(ls "$prefix/bin")"
[ "$(ls "$prefix/include" | tr '\n' ' ')" = "dravo.hpp pelko.h " ] ||
  fail "include holds: $(ls "$prefix/include")"
[ -z "$(find "$prefix" -name '*.a')" ] || fail "static libraries installed"
for library in pelko dravo; do
  link=$libs/lib$library.so
  [ "$(readlink "$link")" = "lib$library.so.1" ] || fail "$link does not name lib$library.so.1"
  [ -L "$link.1" ] && [ -f "$link.1" ] || fail "$link.1 is not a link to the library"
  readelf -d "$link.1" | grep -q "SONAME.*\[lib$library\.so\.1\]" || fail "$link.1: wrong soname"
done

# The installed package must not send an application looking for the server's own dependencies.
if grep -rqE 'Boost|OpenSSL' "$libs/cmake/pelko"; then fail "the CMake package names Boost or OpenSSL"; fi

flags=$(PKG_CONFIG_PATH=$libs/pkgconfig pkg-config --cflags --libs pelko) ||
  fail "pkg-config does not find pelko"
# shellcheck disable=SC2086 # the flags are words
quietly "$cc" "$source" $flags $link_options -o "$work/application-pkg-config"

quietly "$cmake" -S "$here/consumer" -B "$work/consumer" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_C_COMPILER="$cc" -DAPPLICATION_SOURCE="$source" \
  -DCMAKE_EXE_LINKER_FLAGS="$link_options" \
  -DCMAKE_DISABLE_FIND_PACKAGE_Boost=ON -DCMAKE_DISABLE_FIND_PACKAGE_OpenSSL=ON
grep -qxF "pelko_DIR:PATH=$libs/cmake/pelko" "$work/consumer/CMakeCache.txt" ||
  fail "find_package found $(grep pelko_DIR "$work/consumer/CMakeCache.txt")"
quietly "$cmake" --build "$work/consumer"
cp "$work/consumer/application" "$work/application-cmake"

# Resolves SONAME in what ldd says of PROGRAM; expects the file in FOLDER and nothing from the
# build tree.
expect_resolved() {  # program soname folder
  local found
  found=$(ldd "$1" | awk -v name="$2" '$1 == name { print ($3 == "not" ? "nowhere" : $3) }')
  case $found in /*) found=$(realpath -s "$found") ;; esac  # "$ORIGIN/../lib" gives bin/../lib
  [ "$found" = "$3/$2" ] || fail "$1 takes $2 from '$found', not from $3"
  if ldd "$1" | grep -qF "$build"; then fail "$1 takes a library from the build tree"; fi
}
export LD_LIBRARY_PATH=$libs
for application in "$work/application-pkg-config" "$work/application-cmake"; do
  expect_resolved "$application" libpelko.so.1 "$libs"
done
# The service manager gives the program no library path: it finds its library by itself.
(unset LD_LIBRARY_PATH && expect_resolved "$prefix/bin/dravo_service" libdravo.so.1 "$libs")

"$work/application-pkg-config" "$controller" || fail "the pkg-config build failed its run"
"$work/application-cmake" "$controller" "$prefix/bin/dravo_service" ||
  fail "the find_package build failed its run through the installed server"

unit=$prefix/lib/systemd/system/dravo.service
grep -qxF "ExecStart=$prefix/bin/dravo_service" "$unit" || fail "$unit: $(grep ExecStart "$unit")"
grep -qxF "Type=notify" "$unit" || fail "$unit is not Type=notify"
if command -v systemd-analyze >/dev/null; then
  # Checks among others that ExecStart names an executable file.
  systemd-analyze verify "$unit" || fail "systemd-analyze verify $unit"
else
  echo "install test: systemd-analyze not found, the unit is not verified"
fi
echo "install test: passed"
