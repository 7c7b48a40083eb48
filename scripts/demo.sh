#!/usr/bin/env bash
# Builds the command and decrypts the sample picture with the demo key.
[ -n "${BASH_VERSION:-}" ] || exec bash "$0" "$@"
set -euo pipefail
source "$(dirname "$(readlink -f "$0")")/common.sh"
ensure_packages
build_project build -DUNSEAL_TESTS=OFF -DUNSEAL_BENCH=OFF unseal
build/unseal examples/sample.enc unseal-demo-key-0123456789abcdef
echo
echo "The decrypted picture is examples/sample.decrypted (a BMP image): open it in an image viewer."
