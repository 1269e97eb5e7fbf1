#!/usr/bin/env bash
# Non-blank lines of tests (everything under tests/, bench/ and fuzz/) against non-blank
# lines of C and C++ elsewhere. Exits 1 above the limit (default 0.40), so that a suite
# grows with the code it guards rather than ahead of it.
set -euo pipefail
cd "$(dirname "$0")/.."
limit=${1:-0.40}

nonblank() { xargs -0 -r cat | grep -cv '^[[:space:]]*$' || true; }
tests=$(git ls-files -z -- tests bench fuzz | nonblank)
code=$(git ls-files -z -- '*.c' '*.cc' '*.cpp' '*.h' '*.hpp' '*.cpp.in' ':!tests' ':!bench' ':!fuzz' | nonblank)
ratio=$(awk -v t="$tests" -v c="$code" 'BEGIN { printf "%.3f", t / c }')
echo "tests $tests lines, code $code lines: ratio $ratio (limit $limit)"
awk -v r="$ratio" -v l="$limit" 'BEGIN { exit !(r <= l) }'
