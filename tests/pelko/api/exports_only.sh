#!/usr/bin/env bash
# Fails when the shared library defines a dynamic symbol that does not match the pattern.
set -euo pipefail
library=$1 pattern=$2
symbols=$(nm -D --defined-only "$library" | awk '{print $3}')
[ -n "$symbols" ] || { echo "no exported symbols in $library"; exit 1; }
stray=$(grep -Ev "$pattern" <<<"$symbols" || true)
if [ -n "$stray" ]; then
  echo "unexpected exports in $library:"; echo "$stray"; exit 1
fi
echo "$(wc -l <<<"$symbols") exports, all matching $pattern"
