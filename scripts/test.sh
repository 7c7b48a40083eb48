#!/usr/bin/env bash
# Builds everything in build/ and runs every test; prints a summary and the
# output of failing tests only.
[ -n "${BASH_VERSION:-}" ] || exec bash "$0" "$@"
set -euo pipefail
source "$(dirname "$(readlink -f "$0")")/common.sh"
required_packages+=("${test_packages[@]}")
ensure_packages
build_project build -DUNSEAL_TESTS=ON -DUNSEAL_BENCH=ON
run_tests build
