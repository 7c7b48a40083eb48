# Shared by the README's commands: make sure the build tools are present, then
# configure and build into build/. The scripts are bash scripts; each one
# starts itself again under bash when it is run by another shell (sh, dash).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

# What building the command needs; the test scripts add their own.
required_packages=(cmake g++ make)
test_packages=(libgtest-dev libssl-dev libbenchmark-dev)

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
  log=$(mktemp /tmp/unseal-apt.XXXXXX)
  echo "Installing ${missing[*]} (apt-get output in $log)"
  if ! { apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y "${missing[@]}"; } >"$log" 2>&1; then
    cat "$log"
    echo "Installing failed: $install"
    exit 1
  fi
}

# Configures build/ for the demo key (-U drops a digest an earlier custom-key
# configuration left in its cache; the default then applies again) and builds
# the given targets, everything when none is given.
build_project() {
  local options=() targets=()
  for arg in "$@"; do
    if [[ $arg == -D* ]]; then options+=("$arg"); else targets+=(--target "$arg"); fi
  done
  cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DUNSEAL_WERROR=ON -UUNSEAL_REFERENCE_DIGEST \
    "${options[@]}" >/dev/null
  cmake --build build -j "$(nproc)" "${targets[@]}"
}
