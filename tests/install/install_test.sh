#!/usr/bin/env bash
# Installs a build into a temporary prefix, moves the prefix elsewhere (both
# package files must relocate), and builds and runs a consumer against it
# twice: through find_package(unseal) and through pkg-config; then once more
# with the sources embedded by add_subdirectory. Fails when anything lands
# outside include/unseal/, lib*/, bin/unseal and share/.
# Every program built here runs through the emulator given after the source
# folder (the build's CMAKE_CROSSCOMPILING_EMULATOR: a cross build's programs
# run under it), directly when none is given; the consumer projects are
# configured with the build's toolchain file, if any.
# Usage: install_test.sh <build folder> <C++ compiler> <source folder> <toolchain file or ""> [emulator ...]
set -euo pipefail
build=$1 cxx=$2 source=$3 toolchain=$4
shift 4
emulator=("$@")
here=$(cd "$(dirname "$0")" && pwd)
configure=(-DCMAKE_CXX_COMPILER="$cxx")
[[ -z $toolchain ]] || configure+=(-DCMAKE_TOOLCHAIN_FILE="$toolchain")
run() { "${emulator[@]}" "$@"; }
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
cmake -S "$here" -B "$work/cmake" "${configure[@]}" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/cmake" >/dev/null
run "$work/cmake/consumer"

echo "== pkg-config unseal"
pc=$(dirname "$(find "$prefix" -name unseal.pc)")
flags=$(PKG_CONFIG_PATH=$pc pkg-config --cflags --libs unseal)
"$cxx" -std=c++20 -o "$work/pkg-consumer" "$here/consumer.cpp" $flags
# (a shared build's library is outside the loader's folders)
LD_LIBRARY_PATH=$(PKG_CONFIG_PATH=$pc pkg-config --variable=libdir unseal) run "$work/pkg-consumer"

echo "== add_subdirectory"
cmake -S "$here" -B "$work/embedded" "${configure[@]}" -DUNSEAL_SOURCE_DIR="$source" >/dev/null
cmake --build "$work/embedded" --target consumer -j "$(nproc)" >/dev/null
run "$work/embedded/consumer"
