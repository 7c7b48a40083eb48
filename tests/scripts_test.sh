#!/usr/bin/env bash
# The README's commands (scripts/*.sh, .ci/run), copied into a scratch project
# and started through a symbolic link from another folder, with stand-ins for
# id, dpkg-query, apt-get and cmake first on PATH. As another user with
# nothing installed, each names every package it needs in its apt-get line;
# as root, a failing apt-get is shown with its log; after a succeeding one, a
# failing build is shown and stops the script (and .ci/run) before any later
# step. Each of these ends with status 1 and leaves no apt log in TMPDIR.
# Usage: scripts_test.sh <source folder>
set -euo pipefail
source=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/project" "$work/links" "$work/elsewhere" "$work/stubs" "$work/tmp"
cp -r "$source/scripts" "$source/.ci" "$work/project/"
for script in "$work"/project/scripts/*.sh "$work/project/.ci/run"; do
  ln -s "$script" "$work/links/$(basename "$script" .sh)"
done
stub() { printf '#!/bin/sh\n%s\n' "$2" >"$work/stubs/$1" && chmod +x "$work/stubs/$1"; }
stub id 'echo "$STUB_UID"'
stub dpkg-query 'exit 1'
stub apt-get 'echo "apt-get stand-in: $*"; exit "$STUB_APT_STATUS"'
stub cmake 'echo "cmake stand-in: $*"; exit 1'

failures=0
fail() { echo "FAIL: $1"; echo "$out" | sed 's/^/    /'; failures=$((failures + 1)); }
# run SCRIPT UID APT_STATUS: runs it from another folder, sets out; it must end with status 1
run() {
  local status=0
  out=$(cd "$work/elsewhere" && env PATH="$work/stubs:$PATH" TMPDIR="$work/tmp" STUB_UID=$2 STUB_APT_STATUS=$3 \
    "$work/links/$1" 2>&1) || status=$?
  [[ $status -eq 1 ]] || fail "$1 as uid $2, apt-get status $3: status $status, not 1"
  [[ -z $(ls -A "$work/tmp") ]] || { fail "$1 left $(ls "$work/tmp") in TMPDIR"; rm -rf "${work:?}"/tmp/*; }
}

# script, the packages its apt-get line must name
needs=(
  demo "cmake g++ make"
  test "cmake g++ make libgtest-dev libssl-dev libbenchmark-dev groff-base pkg-config"
  sanitize "libgtest-dev libssl-dev libbenchmark-dev groff-base pkg-config clang libclang-rt-14-dev"
  fuzz "libssl-dev clang libclang-rt-14-dev"
  package "cmake g++ make file dpkg-dev"
  package_check "cmake g++ make lintian man-db pkg-config"
  run "cmake g++ make libgtest-dev libssl-dev libbenchmark-dev groff-base pkg-config"
)
for ((i = 0; i < ${#needs[@]}; i += 2)); do
  script=${needs[i]}
  run "$script" 1000 0
  line=$(grep -E '^  apt-get update && apt-get install -y ' <<<"$out" || true)
  for pkg in ${needs[i + 1]}; do
    grep -q -w -F -- "$pkg" <<<"$line" || fail "$script as another user: '$pkg' is not in its apt-get line"
  done
  if grep -q -E 'No such file|command not found' <<<"$out"; then fail "$script did not find its files"; fi

  run "$script" 0 100
  grep -q '^apt-get stand-in: update' <<<"$out" && grep -q '^Installing failed' <<<"$out" &&
    ! grep -q 'cmake stand-in' <<<"$out" || fail "$script with a failing apt-get: the failure is not shown, or it went on"

  run "$script" 0 0
  if [[ $script == package_check ]]; then  # it builds nothing: it checks what package.sh made
    grep -q 'run scripts/package.sh first' <<<"$out" || fail "package_check without packages"
    continue
  fi
  grep -q -E '^Building in build[^ ]*/ failed$' <<<"$out" && grep -q 'cmake stand-in: -S' <<<"$out" ||
    fail "$script with a failing build: the failure and its log are not shown"
  [[ $(grep -c '^Building in ' <<<"$out") -eq 2 ]] || fail "$script went on after its failing build"
  if grep -q -i 'decrypted picture\|passed' <<<"$out"; then fail "$script reported success after a failure"; fi
done

# Started by sh (dash), a script starts itself again under bash.
out=$(cd "$work/elsewhere" && env PATH="$work/stubs:$PATH" TMPDIR="$work/tmp" STUB_UID=1000 sh "$work/links/demo" 2>&1) || true
grep -q '^  apt-get update && apt-get install -y cmake g++ make$' <<<"$out" || fail "demo under sh"

((failures == 0)) || exit 1
echo "$((${#needs[@]} / 2)) commands through a symbolic link: packages named, failures stop them, no apt log left"
