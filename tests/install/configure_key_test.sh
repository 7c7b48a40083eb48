#!/usr/bin/env bash
# Configures the project with keys given as UNSEAL_KEY, as the README's
# custom-key command does: a key that is not exactly 32 bytes stops the
# configuration with a sentence that says so; a 32-byte key becomes the
# reference digest (its SHA-1, as sha1sum computes it) and, unless it is the
# public demo key, is found in no file of the build folder, nor is a refused
# one. The digest stays on reconfiguring until -UUNSEAL_REFERENCE_DIGEST (as
# the scripts configure) brings back the demo key's.
# Usage: configure_key_test.sh <source folder> <build folder> <C++ compiler>
set -euo pipefail
source=$1 build=$2 cxx=$3
demo_digest=78085e43f991bf73e50aa4fd6ad94b77aa15fa38
rm -rf "$build"
configure() {
  cmake -S "$source" -B "$build" -DCMAKE_CXX_COMPILER="$cxx" -DUNSEAL_TESTS=OFF -DUNSEAL_BENCH=OFF "$@" 2>&1
}
digest() { sed -n 's/^UNSEAL_REFERENCE_DIGEST:STRING=//p' "$build/CMakeCache.txt"; }
kept_nowhere() {
  if grep -r -l -F -- "$1" "$build"; then echo "the key is kept in the files above"; exit 1; fi
}

# key, then the sentence expected ("" when it is accepted)
cases=(
  "" "UNSEAL_KEY is empty"
  "0123456789abcdef0123456789abcde" "UNSEAL_KEY is 31 bytes long: the key must be exactly 32 bytes."
  "0123456789abcdef0123456789abcdef0" "UNSEAL_KEY is 33 bytes long"
  "é123456789abcdef0123456789abcdef" "UNSEAL_KEY is 33 bytes long"
  "unseal-demo-key-0123456789abcdef" ""
  "éééééééééééééééé" ""
  'semi;colon "quoted" \ back $HOME' ""
)
for ((i = 0; i < ${#cases[@]}; i += 2)); do
  key=${cases[i]} sentence=${cases[i + 1]}
  if [[ -n $sentence ]]; then
    if out=$(configure -DUNSEAL_KEY="$key"); then echo "key '$key' was accepted"; exit 1; fi
    grep -q -F -- "$sentence" <<<"$out" || { echo "$out"; echo "key '$key': no '$sentence'"; exit 1; }
  else
    out=$(configure -DUNSEAL_KEY="$key") || { echo "$out"; echo "key '$key' was refused"; exit 1; }
    expected=$(printf %s "$key" | sha1sum | cut -c1-40)
    [[ $(digest) == "$expected" ]] || { echo "key '$key': digest $(digest), sha1sum $expected"; exit 1; }
  fi
  [[ -z $key || $key == unseal-demo-key-* ]] || kept_nowhere "$key"
  echo "key '$key' (${#key} characters): ${sentence:-accepted, digest $(digest)}"
done

# The digest stays until the scripts' -U drops it; the demo key's is the default.
configure -DUNSEAL_KEY="0123456789abcdef0123456789abcdef" >/dev/null
configure >/dev/null
[[ $(digest) == "$(printf %s 0123456789abcdef0123456789abcdef | sha1sum | cut -c1-40)" ]] ||
  { echo "reconfiguring forgot the key's digest"; exit 1; }
configure -UUNSEAL_REFERENCE_DIGEST >/dev/null
[[ $(digest) == "$demo_digest" ]] || { echo "-UUNSEAL_REFERENCE_DIGEST left $(digest)"; exit 1; }
echo "the digest stays on reconfiguring; -UUNSEAL_REFERENCE_DIGEST brings back the demo key's"
