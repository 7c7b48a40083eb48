#!/usr/bin/env bash
# Checks that an executable carries the protections of a Debian package build
# that show in the binary: position independent (ELF type DYN with the PIE
# flag), full RELRO (a GNU_RELRO segment and immediate binding, so the GOT is
# read-only after start) and the stack protector. (_FORTIFY_SOURCE leaves a
# trace only where a call's buffer size is known when compiling, which the
# command's calls do not offer.)
# Usage: hardening_check.sh <executable>
set -euo pipefail
exe=$1
fail() { echo "$exe: $1"; exit 1; }
header=$(readelf -h "$exe") dynamic=$(readelf -d "$exe") segments=$(readelf -lW "$exe")
symbols=$(readelf --dyn-syms -W "$exe")
grep -q 'Type:[[:space:]]*DYN' <<<"$header" || fail "not position independent"
grep -q 'FLAGS_1.*PIE' <<<"$dynamic" || fail "no PIE flag"
grep -q 'GNU_RELRO' <<<"$segments" || fail "no RELRO segment"
grep -q -E 'BIND_NOW|FLAGS_1.*NOW' <<<"$dynamic" || fail "lazy binding (no -z now)"
grep -q '__stack_chk_fail' <<<"$symbols" || fail "no stack protector"
echo "$exe: PIE, full RELRO, stack protector"
