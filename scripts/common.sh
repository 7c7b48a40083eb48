# Shared by the README's commands: make sure the build tools are present, then
# configure and build into build/.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

required_packages=(cmake g++ make libgtest-dev libssl-dev libbenchmark-dev)

ensure_packages() {
  local missing=()
  for pkg in "${required_packages[@]}"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
  done
  [[ ${#missing[@]} -eq 0 ]] && return 0
  if [[ $(id -u) -eq 0 ]]; then
    echo "Installing: ${missing[*]}"
    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
  else
    echo "Missing packages. Install them with:"
    echo "  sudo apt-get install -y ${missing[*]}"
    exit 1
  fi
}

build_project() {
  cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DUNSEAL_WERROR=ON "$@" >/dev/null
  cmake --build build -j "$(nproc)"
}
