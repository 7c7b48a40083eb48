#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in build-fuzz/ and runs each one for
# a bounded time (FUZZ_SECONDS, default 30), replaying its seed corpus first.
# New inputs go to build-fuzz/corpus/<target>; a crash stops the run and
# leaves its input in build-fuzz/.
[ -n "${BASH_VERSION:-}" ] || exec bash "$0" "$@"
set -euo pipefail
source "$(dirname "$(readlink -f "$0")")/common.sh"
required_packages+=("${test_packages[@]}" "${sanitizer_packages[@]}")
ensure_packages
seconds=${FUZZ_SECONDS:-30}
CXX=clang++ build_project build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DUNSEAL_FUZZ=ON -DUNSEAL_TESTS=OFF \
  -DUNSEAL_BENCH=OFF
passed=0
for target in build-fuzz/fuzz/fuzz_*; do
  [[ -x $target ]] || continue
  name=$(basename "$target")
  mkdir -p "build-fuzz/corpus/$name"
  echo "== $name: ${seconds}s"
  log="build-fuzz/$name.log"
  if ! "$target" -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix=build-fuzz/ \
      "build-fuzz/corpus/$name" "fuzz/corpus/$name" >"$log" 2>&1; then
    tail -n 60 "$log"
    echo "$name failed"
    exit 1
  fi
  grep -E 'stat::number_of_executed_units' "$log"
  passed=$((passed + 1))
done
echo "fuzz: $passed passed, 0 failed"
