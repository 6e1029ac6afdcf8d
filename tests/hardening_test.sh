#!/usr/bin/env bash
# Checks that the built stub carries the hardening that CMakeLists.txt builds it with: every
# relocation applied at start-up (BIND_NOW) and the relocated data read-only after it
# (GNU_RELRO), stack canaries, and, where the build fortifies, the C library's checked calls.
#
#   hardening_test.sh EXECUTABLE READELF NM FORTIFIED
#
# FORTIFIED is 1 where the build fortifies (optimised builds without the sanitizers), else 0.
set -euo pipefail

executable=$1
readelf=$2
nm=$3
fortified=$4

failed=0
fail() {
  echo "hardening_test: $executable: $1" >&2
  failed=1
}

dynamic=$("$readelf" -dW "$executable")
segments=$("$readelf" -lW "$executable")
symbols=$("$nm" -D "$executable")

grep -Eq '\(FLAGS\) +BIND_NOW' <<<"$dynamic" || fail "no BIND_NOW in FLAGS (link with -z now)"
grep -Eq '\(FLAGS_1\) +Flags:.* NOW' <<<"$dynamic" || fail "no NOW in FLAGS_1 (link with -z now)"
grep -Eq '^ +GNU_RELRO ' <<<"$segments" || fail "no GNU_RELRO segment (link with -z relro)"
grep -Eq ' U __stack_chk_fail(@|$)' <<<"$symbols" ||
  fail "no __stack_chk_fail: compiled without a stack protector"
checked=$(grep -E ' U __[a-z0-9_]+_chk(@|$)' <<<"$symbols" | grep -v ' U __stack_chk_fail' || true)
if [ "$fortified" = 1 ] && [ -z "$checked" ]; then
  fail "no checked C library call (__*_chk): compiled without _FORTIFY_SOURCE"
fi
exit "$failed"
