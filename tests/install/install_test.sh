#!/usr/bin/env bash
# Installs a build into a temporary prefix, moves the prefix elsewhere (both
# package files must relocate), and builds and runs a consumer against it
# twice: through find_package(unseal) and through pkg-config; then once more
# with the sources embedded by add_subdirectory. Fails when anything lands
# outside include/unseal/, lib*/, bin/unseal and share/.
# Usage: install_test.sh <build folder> <C++ compiler> <source folder>
set -euo pipefail
build=$1 cxx=$2 source=$3
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake --install "$build" --prefix "$work/installed" >/dev/null
mv "$work/installed" "$work/prefix"
prefix=$work/prefix

stray=$(cd "$prefix" && find . ! -type d | sed 's|^\./||' |
  grep -v -E '^(include/unseal/[^/]+\.h|lib[^/]*/.+|bin/unseal|share/.+)$' || true)
[[ -z $stray ]] || { echo "installed outside its places: $stray"; exit 1; }
[[ -x $prefix/bin/unseal && -f $prefix/share/man/man1/unseal.1 ]] ||
  { echo "the command or its manual page is missing"; exit 1; }

echo "== find_package(unseal)"
cmake -S "$here" -B "$work/cmake" -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/cmake" >/dev/null
"$work/cmake/consumer"

echo "== pkg-config unseal"
pc=$(dirname "$(find "$prefix" -name unseal.pc)")
flags=$(PKG_CONFIG_PATH=$pc pkg-config --cflags --libs unseal)
"$cxx" -std=c++20 -o "$work/pkg-consumer" "$here/consumer.cpp" $flags
# (a shared build's library is outside the loader's folders)
LD_LIBRARY_PATH=$(PKG_CONFIG_PATH=$pc pkg-config --variable=libdir unseal) "$work/pkg-consumer"

echo "== add_subdirectory"
cmake -S "$here" -B "$work/embedded" -DCMAKE_CXX_COMPILER="$cxx" -DUNSEAL_SOURCE_DIR="$source" >/dev/null
cmake --build "$work/embedded" --target consumer -j "$(nproc)" >/dev/null
"$work/embedded/consumer"
