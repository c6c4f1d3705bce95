#!/usr/bin/env bash
# Builds the Debian package (vantrell_<version>_<arch>.deb) with CPack and checks it with lintian.
#
#   scripts/package.sh              a release build with Debian's hardening flags in build/package,
#                                   the package in build/package
#   scripts/package.sh BUILD_DIR    packages that build as it is (the tests use build/release),
#                                   the package in BUILD_DIR/deb
#
# Prints the package's path on its last line. Fails when lintian reports an error or a warning.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

if [ $# -eq 0 ]; then
  "$root/scripts/setup.sh"
  build=$root/build/package
  out=$build
  # The tested release build's optimisation (-O2) with the flags Debian builds its own packages
  # with (fortify, stack protector, relro, bind now).
  export DEB_BUILD_MAINT_OPTIONS=hardening=+all
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVANTRELL_BENCH=OFF \
    -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)" \
    -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" >/dev/null
  cmake --build "$build" -j"$(nproc)" --target vantrell vantrellctl vantrell_man vantrell_docs
else
  build=$(cd "$1" && pwd)
  out=$build/deb
fi

rm -f "$out"/vantrell_*.deb
cpack --config "$build/CPackConfig.cmake" -B "$out" >/dev/null
deb=$(ls "$out"/vantrell_*.deb)
# lintian warns when run as root; that line says nothing about the package.
lintian --fail-on error,warning "$deb" 2> >(grep -v 'running with root privileges' >&2)
echo "$deb"
