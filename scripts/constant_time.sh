#!/usr/bin/env bash
# The constant-time check: builds tests/constant_time_check (Release, as shipped) and runs it under
# valgrind's memcheck with the key and the data marked undefined. Fails if an AES-256 implementation
# that some CPU is given makes memcheck report a secret-dependent branch or memory index, or if the
# byte-table reference reports nothing. memcheck's own reports go to build/constant_time.log.
[ -n "${BASH_VERSION:-}" ] || exec bash "$0" "$@"
set -euo pipefail
source "$(dirname "$(readlink -f "$0")")/common.sh"
required_packages+=("${test_packages[@]}" valgrind)
ensure_packages
build_project build -DUNSEAL_TESTS=ON constant_time_check
log=build/constant_time.log
if ! valgrind --quiet --error-limit=no --log-file="$log" build/tests/constant_time_check; then
  echo "memcheck's first reports ($log):"
  head -n 40 "$log"
  exit 1
fi
