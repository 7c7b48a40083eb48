#!/usr/bin/env bash
# The test names ctest lists hold no values: GoogleTest prints a pointer
# parameter as its address, and a name with an address in it changes from run
# to run. Parameterised tests end in their parameter's name instead.
# Usage: test_names_test.sh <build folder>
set -euo pipefail
names=$(ctest --test-dir "$1" -N)
if grep -E 'GetParam|0x[0-9a-fA-F]{6}' <<<"$names"; then echo "the test names above hold values"; exit 1; fi
grep -q -E ': Aes/Aes256Test[.].+/portable$' <<<"$names" || { echo "no test is named after its implementation"; exit 1; }
echo "$(grep -c 'Test *#' <<<"$names") test names, none holds a value"
