#!/usr/bin/env bash
# Builds and tests both presets: "default" (optimised, debug info) and "asan"
# (AddressSanitizer + UndefinedBehaviorSanitizer). Exits non-zero on the first failure.
# Extra arguments go to ctest (for example: -L unit).
set -euo pipefail
cd "$(dirname "$0")"

for preset in default asan; do
  echo "== $preset: configure and build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  echo "== $preset: test"
  ctest --preset "$preset" "$@"
done
echo "== all tests passed"
