#!/usr/bin/env bash
# Builds the whole test suite with AddressSanitizer and UndefinedBehaviorSanitizer
# in build-asan/ and runs it. Any report fails the run. The build uses clang,
# which also keeps the code warning-clean under the second compiler (g++'s
# uninitialised-use warnings misfire on sanitised standard headers).
[ -n "${BASH_VERSION:-}" ] || exec bash "$0" "$@"
source "$(dirname "$0")/common.sh"
required_packages+=("${test_packages[@]}" clang libclang-rt-14-dev)
ensure_packages
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
CXX=clang++ cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DUNSEAL_SANITIZE=ON -DUNSEAL_BENCH=OFF \
  -DUNSEAL_WERROR=ON >/dev/null
cmake --build build-asan -j "$(nproc)"
ctest --test-dir build-asan --output-on-failure -j "$(nproc)"
