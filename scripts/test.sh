#!/usr/bin/env bash
# Builds everything and runs every test.
[ -n "${BASH_VERSION:-}" ] || exec bash "$0" "$@"
source "$(dirname "$0")/common.sh"
required_packages+=("${test_packages[@]}")
ensure_packages
build_project -DUNSEAL_TESTS=ON -DUNSEAL_BENCH=ON
ctest --test-dir build --output-on-failure -j "$(nproc)"
