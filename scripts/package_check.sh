#!/usr/bin/env bash
# Checks the Debian packages in build-deb/ (made by scripts/package.sh) as
# their user meets them: lintian reports no error and no warning; both install
# with apt-get; `man unseal` shows the manual page; the installed command
# decrypts the sample; a program builds against the installed library through
# find_package(unseal) and through pkg-config, and runs; and removing both
# with dpkg -r leaves none of their files or folders behind.
# It installs and removes system packages, so it runs as root, and refuses to
# start when unseal or libunseal-dev is installed already.
[ -n "${BASH_VERSION:-}" ] || exec bash "$0" "$@"
set -euo pipefail
source "$(dirname "$(readlink -f "$0")")/common.sh"
required_packages+=(lintian man-db pkg-config)
ensure_packages
[[ $(id -u) -eq 0 ]] || { echo "package_check.sh installs and removes packages: run it as root."; exit 1; }

cache=build-deb/CMakeCache.txt
[[ -f $cache ]] || { echo "No packages in build-deb/: run scripts/package.sh first."; exit 1; }
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$cache")
arch=$(dpkg --print-architecture)
names=(unseal libunseal-dev)
debs=()
for name in "${names[@]}"; do
  debs+=("$PWD/build-deb/${name}_${version}_${arch}.deb")
  [[ -f ${debs[-1]} ]] || { echo "${debs[-1]} is missing: run scripts/package.sh first."; exit 1; }
  if dpkg-query -W -f='${Status}' "$name" 2>/dev/null | grep -q -E ' (installed|config-files|half-)'; then
    echo "$name is installed on this system already; package_check.sh would replace it. Remove it first."
    exit 1
  fi
done

echo "== lintian"
# (without its advice not to run as root)
lintian --fail-on error,warning "${debs[@]}" 2> >(grep -v 'running with root privileges' >&2) ||
  { echo "lintian found the errors or warnings above"; exit 1; }
echo "no error, no warning"

work=$(mktemp -d)
installed=0
cleanup() {
  if ((installed)); then dpkg -r "${names[@]}" >/dev/null 2>&1 || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

# Every path the packages hold, and which of them were there before: those
# are the ones removing the packages must take away again.
paths=$(for deb in "${debs[@]}"; do dpkg-deb -c "$deb"; done | sed -E 's/^([^ ]+ +){5}//; s/ -> .*//; s|^\./|/|; s|/$||' |
  grep -v '^$' | sort -u)
new_paths=$(while read -r path; do [[ -e $path || -L $path ]] || echo "$path"; done <<<"$paths")

echo "== apt-get install ${debs[*]##*/}"
installed=1
if ! DEBIAN_FRONTEND=noninteractive apt-get install -y "${debs[@]}" >"$work/apt.log" 2>&1; then
  cat "$work/apt.log"
  exit 1
fi
dpkg-query -W "${names[@]}"

echo "== man unseal"
page=$(MANWIDTH=80 man -P cat unseal 2>&1)
grep -q 'decrypt a file with a 32' <<<"$page" || { echo "$page"; echo "man unseal shows no page"; exit 1; }
head -4 <<<"$page"

echo "== unseal on the sample"
cp examples/sample.enc "$work/"
if grep -q '^UNSEAL_REFERENCE_DIGEST:STRING=78085e43f991bf73e50aa4fd6ad94b77aa15fa38$' "$cache"; then
  (cd "$work" && unseal sample.enc unseal-demo-key-0123456789abcdef)
  body=$(($(stat -c %s examples/sample.enc) - 54))
  size=$(stat -c %s "$work/sample.decrypted")
  [[ $size -eq $((54 + 128 * (body / 128 + 1))) && $(head -c 2 "$work/sample.decrypted") == BM ]] ||
    { echo "the installed command's output is not the decrypted sample"; exit 1; }
else
  echo "(built for a key of its own: the demo key must be refused)"
  (cd "$work" && ! unseal sample.enc unseal-demo-key-0123456789abcdef) | tee "$work/out"
  grep -q -x 'Incorrect key!' "$work/out" || { echo "the installed command did not refuse the demo key"; exit 1; }
fi

echo "== find_package(unseal)"
cmake -S tests/install -B "$work/cmake" >"$work/cmake.log" 2>&1 && cmake --build "$work/cmake" >>"$work/cmake.log" 2>&1 ||
  { cat "$work/cmake.log"; exit 1; }
"$work/cmake/consumer"

echo "== pkg-config unseal: $(pkg-config --cflags --libs unseal)"
c++ -std=c++20 -o "$work/pkg-consumer" tests/install/consumer.cpp $(pkg-config --cflags --libs unseal)
"$work/pkg-consumer"

echo "== dpkg -r ${names[*]}"
dpkg -r "${names[@]}" >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; exit 1; }
installed=0
for name in "${names[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$name" 2>/dev/null || true)
  [[ -z $status || $status == *not-installed ]] || { echo "$name is left as '$status'"; exit 1; }
done
left=$(while read -r path; do [[ -z $path ]] || [[ ! -e $path && ! -L $path ]] || echo "$path"; done <<<"$new_paths")
[[ -z $left ]] || { echo "left behind after dpkg -r:"; echo "$left"; exit 1; }
echo "removed: none of the $(wc -l <<<"$new_paths") paths the packages added is left"
echo "packages checked: ${debs[*]##*/}"
