#!/usr/bin/env bash
# Builds everything and runs every test.
source "$(dirname "$0")/common.sh"
ensure_packages
build_project
ctest --test-dir build --output-on-failure -j "$(nproc)"
