#!/usr/bin/env bash
# Builds the whole test suite with AddressSanitizer and UndefinedBehaviorSanitizer
# in build-asan/ and runs it. Any report fails the run. The build uses clang,
# which also keeps the code warning-clean under the second compiler (g++'s
# uninitialised-use warnings misfire on sanitised standard headers).
[ -n "${BASH_VERSION:-}" ] || exec bash "$0" "$@"
set -euo pipefail
source "$(dirname "$(readlink -f "$0")")/common.sh"
required_packages+=("${test_packages[@]}" "${sanitizer_packages[@]}")
ensure_packages
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
CXX=clang++ build_project build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DUNSEAL_SANITIZE=ON -DUNSEAL_BENCH=OFF
run_tests build-asan
