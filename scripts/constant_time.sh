#!/usr/bin/env bash
# The constant-time check: builds tests/constant_time_check (Release, as shipped) with g++ in build/
# and with clang in build-clang/, and runs each under valgrind's memcheck with the key, the data and
# the counter marked undefined. Fails if an AES-256 implementation that some CPU is given makes
# memcheck report a secret-dependent branch or memory index, or if the byte-table reference reports
# nothing. memcheck's own reports go to constant_time.log in each folder.
[ -n "${BASH_VERSION:-}" ] || exec bash "$0" "$@"
set -euo pipefail
source "$(dirname "$(readlink -f "$0")")/common.sh"
required_packages+=("${test_packages[@]}" valgrind clang)
ensure_packages
for compiler in g++ clang++; do
  folder=build
  [[ $compiler == g++ ]] || folder=build-clang
  CXX=$compiler build_project "$folder" -DUNSEAL_TESTS=ON constant_time_check
  log=$folder/constant_time.log
  echo "== $compiler"
  if ! valgrind --quiet --error-limit=no --log-file="$log" "$folder/tests/constant_time_check"; then
    echo "memcheck's first reports ($log):"
    head -n 40 "$log"
    exit 1
  fi
done
