#!/usr/bin/env bash
# Builds the Debian package in build/ (cpack -G DEB) and lists what it holds;
# fails unless it holds the command, its compressed manual page, the library,
# its headers and the CMake and pkg-config files.
[ -n "${BASH_VERSION:-}" ] || exec bash "$0" "$@"
source "$(dirname "$0")/common.sh"
ensure_packages
build_project -DUNSEAL_INSTALL=ON
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/CMakeCache.txt)
deb=build/unseal_${version}_$(dpkg --print-architecture).deb
rm -f "$deb"
(cd build && cpack -G DEB >/dev/null)
listing=$(dpkg-deb -c "$deb")
echo "$listing"
dpkg-deb -f "$deb" Package Version Maintainer Description | head -4
for expected in ./usr/bin/unseal ./usr/share/man/man1/unseal.1.gz /libunseal.a ./usr/include/unseal/cipher_engine.h \
    /cmake/unseal/unsealConfig.cmake /cmake/unseal/unsealConfigVersion.cmake /pkgconfig/unseal.pc; do
  grep -q -F -- "$expected" <<<"$listing" || { echo "$deb lacks $expected"; exit 1; }
done
echo "package: $deb"
