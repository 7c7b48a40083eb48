#!/usr/bin/env bash
# Builds the command and runs it.
source "$(dirname "$0")/common.sh"
ensure_packages
build_project
build/unseal || true
