#!/usr/bin/env bash
# Runs install_test.sh with a recording emulator put in front of the build's
# own emulator (none for a native build), and checks that each of the three
# consumers it builds was started through it: a cross build's programs run
# only under their emulator.
# Usage: through_emulator.sh <build folder> <C++ compiler> <source folder> <toolchain file or ""> [emulator ...]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
log=$(mktemp)
trap 'rm -f "$log"' EXIT
recorder=(sh -c 'printf "%s\n" "$*" >>"$0"; exec "$@"' "$log")
bash "$here/install_test.sh" "$1" "$2" "$3" "$4" "${recorder[@]}" "${@:5}"
started=$(sed -E 's|.*/||' "$log" | tr '\n' ' ')
[[ $started == "consumer pkg-consumer consumer " ]] ||
  { echo "not every consumer ran through the emulator; through it ran: '$started'"; exit 1; }
echo "every consumer ran through the emulator${5:+ ($5)}"
