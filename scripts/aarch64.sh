#!/usr/bin/env bash
# Cross-builds for aarch64 and runs the whole test suite under qemu-aarch64,
# twice: in build-aarch64/hardware on a CPU with the AES instructions
# (qemu's "max"), where the ARMv8 implementation must be the choice, and in
# build-aarch64/fallback built with UNSEAL_HARDWARE_AES=OFF. It checks that the
# choice falls back to vperm, on NEON, when the OS reports no AES (qemu has no
# ARM model without it, so a preloaded getauxval hides HWCAP_AES), and that
# the command decrypts the sample, and a longer file made of it, to the same
# bytes as on this machine. The install tests are left out: they check the packaging, not the CPU.
#
# The target's GoogleTest is built from Debian's googletest sources and its
# OpenSSL unpacked from Debian's arm64 packages (apt-get download through a
# private package list, so dpkg needs no arm64 architecture), all in
# build-aarch64/target. Reruns reuse them.
[ -n "${BASH_VERSION:-}" ] || exec bash "$0" "$@"
set -euo pipefail
source "$(dirname "$(readlink -f "$0")")/common.sh"
# groff-base: the manual page lint among the tests.
required_packages+=("${test_packages[@]}" groff-base g++-aarch64-linux-gnu qemu-user-static)
ensure_packages

top=$PWD/build-aarch64
target=$top/target
qemu=(/usr/bin/qemu-aarch64-static -cpu max -L /usr/aarch64-linux-gnu)

# OpenSSL for the target: libcrypto.a and the headers, multiarch folders merged.
if [[ ! -f $target/usr/lib/libcrypto.a ]]; then
  apt_dir=$top/apt
  mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" "$apt_dir/debs"
  : >"$apt_dir/status"
  apt_arm64=(-o Dir::State::Lists="$apt_dir/lists" -o Dir::Cache="$apt_dir/cache"
    -o Dir::State::status="$apt_dir/status" -o APT::Architecture=arm64 -o APT::Architectures=arm64)
  apt-get "${apt_arm64[@]}" -qq update
  (cd "$apt_dir/debs" && apt-get "${apt_arm64[@]}" -qq download libssl-dev libssl3 2>/dev/null)
  rm -rf "$apt_dir/unpacked"
  for deb in "$apt_dir"/debs/*.deb; do dpkg -x "$deb" "$apt_dir/unpacked"; done
  mkdir -p "$target/usr/include/openssl" "$target/usr/lib"
  cp -a "$apt_dir/unpacked/usr/include/openssl/." "$apt_dir/unpacked/usr/include/aarch64-linux-gnu/openssl/." \
    "$target/usr/include/openssl/"
  cp -a "$apt_dir/unpacked/usr/lib/aarch64-linux-gnu/." "$target/usr/lib/"
fi

cross=(-DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/aarch64-linux-gnu.cmake" -DUNSEAL_TARGET_ROOT="$target"
  -DCMAKE_BUILD_TYPE=Release)
if [[ ! -f $target/usr/lib/cmake/GTest/GTestConfig.cmake ]]; then
  cmake -S /usr/src/googletest -B "$top/googletest" "${cross[@]}" -DBUILD_GMOCK=OFF \
    -DCMAKE_INSTALL_PREFIX="$target/usr" >/dev/null
  cmake --build "$top/googletest" -j "$(nproc)" >/dev/null
  cmake --install "$top/googletest" >/dev/null
fi

# Configures, builds and tests one variant; further arguments are CMake options.
build_and_test() {
  local dir=$top/$1
  shift
  local name
  name=$(basename "$dir")
  build_project "$dir" "${cross[@]}" -DUNSEAL_TESTS=ON -DUNSEAL_BENCH=OFF -DUNSEAL_INSTALL=OFF \
    -DGTest_DIR="$target/usr/lib/cmake/GTest" -DOPENSSL_ROOT_DIR="$target/usr" -DOPENSSL_USE_STATIC_LIBS=TRUE \
    "-DCMAKE_CROSSCOMPILING_EMULATOR=$(IFS=';' && echo "${qemu[*]}")" "$@"
  echo "== aarch64, $name: the test suite under ${qemu[*]}"
  run_tests "$dir"
}

# The implementation the choice test saw this process take (it records it).
chosen() {
  local report
  report=$(mktemp)
  "${qemu[@]}" "$@" --gtest_filter='Aes256Choice.*' --gtest_output="xml:$report" >/dev/null
  grep -o '<property name="implementation" value="[^"]*"' "$report" | cut -d'"' -f4
  rm -f "$report"
}

# Both variants decrypt the sample and a file of over 4 MiB made of it (a
# short last chunk included) to the bytes a build for this machine gives.
compare_outputs() {
  local work
  work=$(mktemp -d)
  cp examples/sample.enc "$work/sample.enc"
  { cat examples/sample.enc; for _ in $(seq 460); do tail -c +55 examples/sample.enc; done
    head -c 77 examples/sample.enc; } >"$work/long.enc"
  local key=unseal-demo-key-0123456789abcdef
  for file in sample long; do
    "$top/x86/unseal" "$work/$file.enc" "$key" >/dev/null
    mv "$work/$file.decrypted" "$work/$file.x86"
    for variant in hardware fallback; do
      "${qemu[@]}" "$top/$variant/unseal" "$work/$file.enc" "$key" >/dev/null
      cmp "$work/$file.x86" "$work/$file.decrypted" ||
        { echo "aarch64 $variant decrypts $file.enc differently"; exit 1; }
      echo "$file.enc ($(stat -c %s "$work/$file.enc") bytes): aarch64 $variant gives x86's bytes," \
        "sha256 $(sha256sum <"$work/$file.decrypted" | cut -c1-16)..."
      rm "$work/$file.decrypted"
    done
  done
  rm -rf "$work"
}

build_and_test hardware
build_and_test fallback -DUNSEAL_HARDWARE_AES=OFF

with_aes=$(chosen "$top/hardware/tests/aes256_default_test")
without_aes=$(chosen -E LD_PRELOAD="$top/hardware/tests/libhwcap_without_aes.so" \
  "$top/hardware/tests/aes256_default_test")
echo "chosen on qemu's max CPU: $with_aes; with HWCAP_AES hidden: $without_aes"
[[ $with_aes == armv8 && $without_aes == vperm ]] ||
  { echo "the implementation choice on aarch64 is wrong"; exit 1; }

cmake -S . -B "$top/x86" -DCMAKE_BUILD_TYPE=Release -DUNSEAL_TESTS=OFF -DUNSEAL_BENCH=OFF -DUNSEAL_INSTALL=OFF >/dev/null
cmake --build "$top/x86" -j "$(nproc)" --target unseal >/dev/null
compare_outputs
echo "aarch64: both variants passed"
