#!/usr/bin/env bash
# Builds and tests both presets: "default" (optimised, debug info) and "asan"
# (AddressSanitizer + UndefinedBehaviorSanitizer). A failing preset does not stop the other
# from running; the exit status is non-zero when either failed or the suite has outgrown
# the code (scripts/test-ratio.sh). Then each fuzz target runs for CFM_FUZZ_SECONDS (30 by
# default; 0 skips them) in the fuzz preset (fuzz/run.sh). Extra arguments go to ctest (for
# example: -L unit).
set -uo pipefail
cd "$(dirname "$0")"

failed=()
for preset in default asan; do
  echo "== $preset: configure and build"
  if cmake --preset "$preset" >/dev/null && cmake --build --preset "$preset"; then
    echo "== $preset: test"
    ctest --preset "$preset" "$@" || failed+=("$preset tests")
  else
    failed+=("$preset build")
  fi
done
fuzz_seconds=${CFM_FUZZ_SECONDS:-30}
if [ "$fuzz_seconds" -gt 0 ]; then
  echo "== fuzz: ${fuzz_seconds} s per target"
  fuzz/run.sh "$fuzz_seconds" || failed+=("fuzz")
fi
echo "== test lines against code"
scripts/test-ratio.sh || failed+=("test ratio")

if [ ${#failed[@]} -ne 0 ]; then
  echo "== failed: ${failed[*]}"
  exit 1
fi
echo "== all tests passed"
