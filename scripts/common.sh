# Shared by the README's commands: make sure the packages a step needs are
# present, configure and build quietly, run the tests quietly. The scripts are
# bash scripts; each one starts itself again under bash when it is run by
# another shell (sh, dash), and finds this file and the project's folder from
# its own real path, so it may be started through a symbolic link and from
# any folder.
set -euo pipefail
cd "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")/.."

# What building the command needs; each script adds the lists of its steps.
# readelf and objdump (binutils) come with g++.
required_packages=(cmake g++ make)
test_packages=(libgtest-dev libssl-dev libbenchmark-dev groff-base pkg-config)
sanitizer_packages=(clang libclang-rt-14-dev)
package_packages=(file dpkg-dev)

ensure_packages() {
  local missing=()
  for pkg in "${required_packages[@]}"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
  done
  [[ ${#missing[@]} -eq 0 ]] && return 0
  local install="apt-get update && apt-get install -y ${missing[*]}"
  if [[ $(id -u) -ne 0 ]]; then
    echo "Missing packages. Install them as root with:"
    echo "  $install"
    exit 1
  fi
  # apt-get's progress runs to hundreds of lines: keep it, and show it only on failure.
  local log
  log=$(mktemp -t unseal-apt.XXXXXX)
  echo "Installing ${missing[*]}"
  if ! { apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y "${missing[@]}"; } >"$log" 2>&1; then
    cat "$log"
    rm -f "$log"
    echo "Installing failed: $install"
    exit 1
  fi
  rm -f "$log"
}

# build_project FOLDER [-DOPTION=VALUE | -UOPTION ...] [TARGET ...]
# Configures FOLDER for the demo key (-U drops a digest an earlier custom-key
# configuration left in its cache; the default applies again unless an option
# sets UNSEAL_KEY or UNSEAL_REFERENCE_DIGEST) and builds the given targets,
# everything when none is given. The compiler's output goes to
# FOLDER/build.log and is shown whole only when the build fails.
build_project() {
  local folder=$1 options=() targets=()
  shift
  for arg in "$@"; do
    if [[ $arg == -[DU]* ]]; then options+=("$arg"); else targets+=(--target "$arg"); fi
  done
  mkdir -p "$folder"
  local log=$folder/build.log
  echo "Building in $folder/ (log: $log)"
  if ! { cmake -S . -B "$folder" -DCMAKE_BUILD_TYPE=Release -DUNSEAL_WERROR=ON -UUNSEAL_REFERENCE_DIGEST \
      "${options[@]}" && cmake --build "$folder" -j "$(nproc)" "${targets[@]}"; } >"$log" 2>&1; then
    cat "$log"
    echo "Building in $folder/ failed"
    exit 1
  fi
}

# run_tests FOLDER: runs the tests of a build folder, prints ctest's summary
# and the whole output of each failing test, not the line of every passing
# one. ctest's full report stays in FOLDER/ctest.log.
run_tests() {
  local folder=$1 log=$1/ctest.log status=0
  ctest --test-dir "$folder" --output-on-failure -j "$(nproc)" >"$log" 2>&1 || status=$?
  { grep -v -E '^Internal ctest changing into directory: |^ *Start +[0-9]+: |^ *[0-9]+/[0-9]+ Test +#[0-9]+: .* Passed +[0-9.]+ sec$' "$log" || true; } | cat -s
  return "$status"
}
