#!/usr/bin/env bash
# Builds the Debian packages in build-deb/ (configured for /usr, without tests
# or benchmarks; cmake options given here, such as -DUNSEAL_KEY="$KEY", are
# passed on) and lists them. Fails unless each holds what it should, in
# Debian's places, and the command's package declares the libraries it runs on.
#   unseal_<version>_<arch>.deb         the command, its manual page, its bash completion
#   libunseal-dev_<version>_<arch>.deb  the library, headers, CMake and pkg-config files
#   libunseal<soversion>_...deb         the shared library (-DBUILD_SHARED_LIBS=ON only)
[ -n "${BASH_VERSION:-}" ] || exec bash "$0" "$@"
set -euo pipefail
source "$(dirname "$(readlink -f "$0")")/common.sh"
required_packages+=("${package_packages[@]}")
ensure_packages
build_project build-deb -DCMAKE_INSTALL_PREFIX=/usr -DUNSEAL_TESTS=OFF -DUNSEAL_BENCH=OFF -UBUILD_SHARED_LIBS "$@"

cache=build-deb/CMakeCache.txt
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$cache")
arch=$(dpkg --print-architecture)
libdir=./usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)
rm -f build-deb/*.deb
# cpack's own lines say what it did; its warnings (a missing tool, a package
# without dependencies) are among them.
(cd build-deb && cpack -G DEB) 2>&1 | grep -v -E '^CPack: -? *(Install|Run preinstall|Create package)'

doc() { echo "./usr/share/doc/$1/copyright ./usr/share/doc/$1/changelog.gz"; }
# package name, files it must hold, paths it must not hold
check_package() {
  local name=$1 expected=$2 foreign=$3 deb=build-deb/${1}_${version}_${arch}.deb listing
  [[ -f $deb ]] || { echo "cpack made no $deb"; exit 1; }
  listing=$(dpkg-deb -c "$deb" | sed -E 's/^([^ ]+ +){5}//; s/ -> .*//')
  echo "== $deb"
  dpkg-deb -f "$deb" Package Version Section Depends
  grep -v '/$' <<<"$listing"
  for path in $expected; do
    grep -q -x -F -- "$path" <<<"$listing" || { echo "$deb lacks $path"; exit 1; }
  done
  if grep -E -- "$foreign" <<<"$listing"; then echo "$deb holds the files above, which belong elsewhere"; exit 1; fi
}
check_package unseal "./usr/bin/unseal ./usr/share/man/man1/unseal.1.gz
  ./usr/share/bash-completion/completions/unseal $(doc unseal)" '^\./usr/(lib|include)/'
development="$libdir/pkgconfig/unseal.pc ./usr/include/unseal/cipher_engine.h $(doc libunseal-dev)
  $libdir/cmake/unseal/unsealConfig.cmake $libdir/cmake/unseal/unsealConfigVersion.cmake"
if grep -q -i -E '^BUILD_SHARED_LIBS:[a-z]+=(on|1|yes|true)$' "$cache"; then
  soversion=${version%%.*}.$(cut -d. -f2 <<<"$version")
  check_package libunseal-dev "$development $libdir/libunseal.so" '^\./usr/bin/|\.so\.'
  check_package "libunseal$soversion" "$libdir/libunseal.so.$soversion $(doc "libunseal$soversion")" \
    '^\./usr/(bin|include)/|\.pc$|\.cmake$'
else
  check_package libunseal-dev "$development $libdir/libunseal.a" '^\./usr/bin/|\.so'
fi
# Without dpkg-shlibdeps, cpack makes the command's package with no Depends
# field and says so only in passing.
depends=$(dpkg-deb -f "build-deb/unseal_${version}_${arch}.deb" Depends)
[[ $depends == *libc6* && $depends == *libstdc++6* ]] ||
  { echo "the unseal package does not declare the libraries it runs on (Depends: '$depends')"; exit 1; }
echo "packages: $(ls build-deb/*.deb | tr '\n' ' ')"
