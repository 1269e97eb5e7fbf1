#!/usr/bin/env bash
# Non-blank lines of test sources (under tests/ and fuzz/) against non-blank lines of the
# same kinds of source outside the tests and benchmarks: C, C++ and scripts on both sides;
# build files and documents on neither. Benchmarks (bench/) are measuring instruments, not
# tests: they are reported, not counted. Exits 1 above the limit (default 0.40), so that a
# suite grows with the code it guards rather than ahead of it.
set -euo pipefail
cd "$(dirname "$0")/.."
limit=${1:-0.40}

nonblank() { xargs -0 -r cat | grep -cv '^[[:space:]]*$' || true; }
sources=('*.c' '*.cc' '*.cpp' '*.h' '*.hpp' '*.cpp.in' '*.sh' '*.py')
tests=$(git ls-files -z -- "${sources[@]/#/:(glob)tests/**/}" "${sources[@]/#/:(glob)fuzz/**/}" | nonblank)
bench=$(git ls-files -z -- "${sources[@]/#/:(glob)bench/**/}" | nonblank)
code=$(git ls-files -z -- "${sources[@]}" ':!tests' ':!bench' ':!fuzz' | nonblank)
ratio=$(awk -v t="$tests" -v c="$code" 'BEGIN { printf "%.3f", t / c }')
echo "tests $tests lines, code $code lines: ratio $ratio (limit $limit); benchmarks $bench lines"
awk -v r="$ratio" -v l="$limit" 'BEGIN { exit !(r <= l) }'
